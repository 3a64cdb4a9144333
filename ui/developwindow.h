#pragma once
#include "portlist.h"

#include <QMainWindow>
#include <QString>
#include <cstdint>
#include <functional>

class QCloseEvent;
class QTimer;
class Serial;
class chipCommand;

namespace Ui {
class developWindow;
}

// Developer mode: one port, a one-click download and erase, and an
// advanced panel with one button per boot command. All chip traffic runs
// on the GUI thread; the commands keep the event loop turning while they
// wait, so the window stays responsive and its progress timer keeps firing.
class developWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit developWindow(QWidget *parent = nullptr);
    // Deletes serial and cmd, which the window owns.
    ~developWindow() override;

    void appendLog(const QString &message);

protected:
    // A running operation is stopped as closing the port stops it, so that
    // no transfer outlives its window holding the port.
    void closeEvent(QCloseEvent *event) override;

public slots:
    void updateUartInfo();
    void updateProcessBar();

private slots:
    void on_pbnOpenUart_clicked();
    void on_selectFile_1_clicked();
    void on_selectFile_2_clicked();
    void on_selectFile_3_clicked();
    void on_selectFile_4_clicked();
    void on_ptnGetVerion_clicked();
    void on_ptnSetBaudRate_clicked();
    void on_ptnSelectRamFile_clicked();
    void on_ptnDownloadRam_clicked();
    void on_ptnErase_clicked();
    void on_ptnEraseAll_clicked();
    void on_ptnSetStartAddr_clicked();
    void on_ptnSetBaud_clicked();
    void on_ptnDownloadFlash_clicked();
    void on_ptnGetFileCnt_clicked();
    void on_ptnReboot_clicked();
    void on_ptnFlashTest_clicked();
    void on_leBaud_textEdited(const QString &arg1);
    void on_ptnSelectRamFile_2_clicked();
    void on_ptnEraseChip_clicked();
    void on_ptnStartDownload_clicked();
    void on_radioButton_clicked();
    void on_radioButton_clicked(bool checked);
    void on_ptnGetFlashInfo_clicked();
    void on_pbnEraseArea_clicked();
    void on_ptnGetFlashUUID_clicked();
    void on_checkBox_clicked(bool checked);

private:
    // One flag per chip-command slot: a slot whose flag is set ignores the
    // click, so no operation re-enters itself while it pumps events.
    struct BusyFlags {
        bool getVersion = false;
        bool setBaudRate = false;
        bool downloadRam = false;
        bool erase = false;
        bool eraseAll = false;
        bool setStartAddr = false;
        bool setBaud = false;
        bool downloadFlash = false;
        bool getFileCnt = false;
        bool reboot = false;
        bool flashTest = false;
        bool eraseChip = false;
        bool startDownload = false;
        bool getFlashInfo = false;
        bool eraseArea = false;
        bool getFlashUuid = false;
    };

    // Claims the link for one operation; false (with a line in the log when
    // another operation holds it) when the operation must not start.
    bool beginOperation(bool &busy);
    void endOperation(bool &busy);
    // The common guard of the advanced panel's command buttons.
    void runCommand(bool &busy, const std::function<void()> &steps);
    void chooseImage(int row);
    void placeWindow();
    void finishDownload(uint32_t result);

    Ui::developWindow *ui;
    QList<portEntry> portList;
    bool portOpen;
    Serial *serial;
    chipCommand *cmd;
    uint8_t fileCount;
    bool highSpeed = false;

    QTimer *uartTimer;
    QTimer *progressTimer;
    BusyFlags busy;
    // Set while any chip operation runs. The link serves one command at a
    // time: a second one started from a button while the first waits would
    // clear the first one's replies and interleave its bytes on the line.
    bool linkBusy = false;
};
