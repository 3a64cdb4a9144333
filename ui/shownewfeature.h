#pragma once

#include <QWidget>

namespace Ui {
class showNewFeature;
}

// What is new in this release, shown on the first start of a new version.
class showNewFeature : public QWidget
{
    Q_OBJECT

public:
    explicit showNewFeature(QWidget *parent = nullptr);
    ~showNewFeature() override;

private:
    Ui::showNewFeature *ui;
};
