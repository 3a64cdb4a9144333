#include "serverrefusal.h"

#include <utility>

QString serverRefusalReason(const QString &serverText)
{
    // libpq's and the server's messages (English, as the library and a
    // server with lc_messages C write them), most telling first.
    static const std::pair<const char *, const char *> causes[] = {
        {"password authentication failed", "用户名或密码不对"},
        {"no password supplied", "没有提供密码（PGPASSWORD 或 ~/.pgpass）"},
        {"no pg_hba.conf entry", "服务器不允许本机以该用户连接（pg_hba.conf）"},
        {"role \"", "服务器上没有该用户"},
        {"database \"", "服务器上没有该数据库"},
        {"permission denied", "该用户没有写入记录表的权限"},
        {"Connection refused", "服务器拒绝连接（服务器未运行或端口不对）"},
        {"could not translate host name", "无法解析服务器主机名"},
        {"timeout expired", "连接服务器超时"},
        {"No route to host", "网络不通，无法到达服务器"},
        {"Network is unreachable", "网络不通，无法到达服务器"},
        {"server closed the connection", "服务器断开了连接"},
        {"too many connections", "服务器连接数已满"},
        {"the database system is starting up", "服务器正在启动"},
        {"the database system is shutting down", "服务器正在关闭"},
    };
    for (const auto &cause : causes) {
        if (serverText.contains(QLatin1String(cause.first), Qt::CaseInsensitive))
            return QString::fromUtf8(cause.second);
    }
    return QString();
}

QString serverRefusalLine(const QString &host, int port, const QString &serverText)
{
    const QString reason = serverRefusalReason(serverText);
    return QStringLiteral("记录服务器 %1:%2 无法使用%3，记录保存在本地，稍后重试。服务器原文：%4")
        .arg(host)
        .arg(port)
        .arg(reason.isEmpty() ? QString() : QStringLiteral("：") + reason)
        .arg(serverText.simplified());
}
