#include "shownewfeature.h"
#include "ui_shownewfeature.h"

showNewFeature::showNewFeature(QWidget *parent)
    : QWidget(parent), ui(new Ui::showNewFeature)
{
    ui->setupUi(this);
}

showNewFeature::~showNewFeature()
{
    delete ui;
}
