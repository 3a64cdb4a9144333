#pragma once

#include "updatesources.h"
#include "versioncheck.h"

#include <QWidget>

namespace Ui {
class updateModule;
}

// Set at the first paint of any update window: the visible check runs once
// in the life of the process.
extern bool checkStarted;

// The tool's half of the update: the window that shows what the check found
// and hands over to upliftor. The background thread keeps a hidden one of
// its own and runs the same check through it without touching its widgets.
class updateModule : public QWidget
{
    Q_OBJECT

public:
    explicit updateModule(QWidget *parent = nullptr);
    ~updateModule() override;

    // Writes the check's lines into the window's log; GUI thread only.
    quint8 checkServerVersion();
    // The same check, writing its lines through log; touches no widget, so
    // the update thread may run it.
    quint8 checkServerVersion(const vqupdate::CheckLog &log) const;
    int queryWebVersion(QString &name) const;

signals:
    void closeStartWindow();

protected:
    void paintEvent(QPaintEvent *e) override;

private slots:
    void on_pushButton_clicked();

private:
    void appendLog(const QString &text);

    Ui::updateModule *ui;
    // Read once, on the GUI thread, before the update thread starts.
    vqupdate::UpdateSources sources;
};
