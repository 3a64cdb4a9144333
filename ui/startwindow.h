#pragma once

#include "shownewfeature.h"

#include <QPointer>
#include <QWidget>

namespace Ui {
class startWindow;
}

class factoryWindow;
class developWindow;
class updateModule;
class updateThread;

// How often showUpdateUI has brought the update window up.
extern unsigned int showCount;

// The first window: the working mode and, for factory mode, the number of
// stations. It owns every top-level window of the program and closes them
// all when the updater takes over.
class startWindow : public QWidget
{
    Q_OBJECT

public:
    explicit startWindow(QWidget *parent = nullptr);
    ~startWindow() override;

public slots:
    void showUpdateUI();
    void closeUI();
    void paintEvent(QPaintEvent *e) override;

private slots:
    void on_pushButton_clicked();
    void on_comboBox_activated(int index);

private:
    void checkVersionMarker();
    void placeOverThis(QWidget *window) const;

    Ui::startWindow *ui;
    showNewFeature releaseNotes;
    updateModule *updateWindow = nullptr;
    updateThread *checkThread = nullptr;
    // Guarded: a mode window that deletes itself on close leaves no dangling pointer.
    QPointer<class factoryWindow> factoryWindow;
    QPointer<class developWindow> developWindow;
    bool newVersionFlag = false;
};
