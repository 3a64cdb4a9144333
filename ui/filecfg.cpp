#include "filecfg.h"

#include "ui_filecfg.h"

fileCfg::fileCfg(QWidget *parent)
    : QGroupBox(parent)
    , ui(new Ui::fileCfg)
{
    ui->setupUi(this);
}

fileCfg::~fileCfg()
{
    delete ui;
}
