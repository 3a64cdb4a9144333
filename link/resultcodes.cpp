#include "resultcodes.h"

#include <utility>

namespace {
using namespace resultCode;
const std::pair<uint32_t, const char *> kTexts[] = {
    {kTransferTimeout, "烧录通讯超时！"},
    {kTransferIdleError, "烧录IDLE流程错误"},
    {kTransferStartError, "烧录START流程错误"},
    {kTransferStartAckError, "烧录START WAIT ACK流程错误"},
    {kTransferDataError, "烧录DATA流程错误"},
    {kTransferDataAckError, "烧录DATA WAIT ACK流程错误"},
    {kTransferStopError, "烧录STOP流程错误"},
    {kTransferStopAckError, "烧录STOP WAIT ACK流程错误"},
    {kTransferStopped, "上位机手动停止"},
    {kTransferCannotOpen, "无法打开烧录文件！"},
    {kTransferCancelled, "芯片发起烧录终止指令！"},
    {kTransferEmptyFile, "烧录文件为空！"},
    {kPortOpenFailed, "串口打开失败，串口不存在或者被占用"},
    {kNoChipInfo, "无法获取芯片信息,请检查芯片是否处于下载模式并确保串口连接正确。"},
    {kChipModelMismatch, "芯片型号与工单不符"},
    {kRamCodeFailed, "发送RAM CODE失败"},
    {kFileCountWrong, "无法获取已烧录文件数量或者已烧录文件数量不符合预期"},
    {kBaudRateFailed, "设置芯片波特率出错"},
    {kStartAddrFailed, "设置烧录地址出错"},
    {kEraseFailed, "擦除芯片出错"},
    {kFlashWriteFailed, "烧录Flash过程出错"},
    {kOpenFileFailed, "打开烧录文件出错"},
    {kAddressListMismatch, "烧录地址数量与烧录文件数量不一致"},
    {kImageExceedsFlash, "烧录文件超出Flash容量"},
    {kSerialUsedUp, "序列号已用完"},
    {kSerialServerAway, "序列号服务器不可达，没有可用的序列号"},
    {kSerialListChanged, "序列号列表文件已改变"},
    {kSerialNotReserved, "序列号无法预留"},
};
} // namespace

QString resultText(uint32_t code)
{
    for (const auto &entry : kTexts) {
        if (entry.first == code)
            return QString::fromUtf8(entry.second);
    }
    return QString();
}
