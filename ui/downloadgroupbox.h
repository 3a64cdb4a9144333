#pragma once
#include <QElapsedTimer>
#include <QGroupBox>

namespace Ui {
class downloadGroupBox;
}

// One programming station: the port it drives, whether it takes part in the
// next run, the DSR line, progress and a status word. The factory window
// fills and reads its children by object name; the panel itself only lets
// the operator select it (a click on the port name) and rename its port (a
// long press opens an editor; Return or leaving the editor commits).
class downloadGroupBox : public QGroupBox
{
    Q_OBJECT

public:
    explicit downloadGroupBox(QWidget *parent = nullptr);
    ~downloadGroupBox() override;

public slots:
    // The port label carries no links; kept for forms that connect it.
    void on_label_port_linkActivated(QString link);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void commitPortEdit();

    Ui::downloadGroupBox *ui;
    QElapsedTimer pressTimer;
};
