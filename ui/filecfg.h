#pragma once
#include <QGroupBox>

namespace Ui {
class fileCfg;
}

// One image row of the factory window: enabled, path, flash address (hex
// digits) and a file chooser button. The widgets are the row's only state;
// the window finds them by object name and does the choosing, checking and
// saving.
class fileCfg : public QGroupBox
{
    Q_OBJECT

public:
    explicit fileCfg(QWidget *parent = nullptr);
    ~fileCfg() override;

private:
    Ui::fileCfg *ui;
};
