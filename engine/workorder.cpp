#include "workorder.h"

#include "chipinfo.h"
#include "imageplan.h"
#include "resultcodes.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace {
// An order is a few hundred bytes; anything near this is not one.
constexpr qint64 kMaxOrderBytes = 1 << 20;
// JSON numbers are doubles: integers are exact up to 2^53.
constexpr double kMaxExactInteger = 9007199254740992.0;

const char *const kOrderKeys[] = {"order", "product", "quantity", "models", "baud", "options", "images", "serial"};
const char *const kImageKeys[] = {"file", "address", "sha256"};
const char *const kSerialKeys[] = {"at", "start", "step", "bytes", "format", "list", "listSha256"};
const char *const kCounterKeys[] = {"start", "step", "bytes", "format"};
const QRegularExpression kHexAddress(QStringLiteral("^(?:0[xX])?([0-9a-fA-F]{1,8})$"));
const QRegularExpression kSha256(QStringLiteral("^[0-9a-fA-F]{64}$"));

// The order's options, each a member of workOrder, in the order they are
// written.
const std::pair<const char *, bool workOrder::*> kOptions[] = {
    {"eraseAll", &workOrder::eraseAll}, {"highSpeed", &workOrder::highSpeed}, {"fastLoad", &workOrder::fastLoad},
    {"boot", &workOrder::boot},         {"reset", &workOrder::reset},         {"dsr", &workOrder::dsr},
    {"keepGoing", &workOrder::keepGoing},
};

QString fieldError(const QString &field, const QString &what)
{
    return QStringLiteral("工单字段“%1”%2").arg(field, what);
}

// The first key of object that is not one of known, or empty.
template <size_t N>
QString unknownKey(const QJsonObject &object, const char *const (&known)[N])
{
    for (const QString &key : object.keys()) {
        if (std::none_of(std::begin(known), std::end(known), [&](const char *k) { return key == QLatin1String(k); }))
            return key;
    }
    return QString();
}

bool isWholeNumber(const QJsonValue &v, double min, double max)
{
    const double d = v.toDouble();
    return v.isDouble() && std::floor(d) == d && d >= min && d <= max;
}

QString hexAddress(uint32_t address)
{
    return QStringLiteral("0x") + QString::number(address, 16);
}

// A JSON value as it stands in a line of the file.
QByteArray compact(const QJsonValue &value)
{
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

// Reads the keys of an order object into `order`; the first problem wins.
class orderReader
{
public:
    orderReader(const QJsonObject &o, workOrder *order) : o(o), order(order) {}

    QString read()
    {
        const QString unknown = unknownKey(o, kOrderKeys);
        if (!unknown.isEmpty())
            return QStringLiteral("工单中有未知字段“%1”").arg(unknown);
        QString why = text("order", &order->name, true);
        if (why.isEmpty() && o.contains(QLatin1String("product")))
            why = text("product", &order->product, false);
        if (why.isEmpty())
            why = quantity();
        if (why.isEmpty())
            why = models();
        if (why.isEmpty())
            why = baud();
        if (why.isEmpty())
            why = options();
        if (why.isEmpty())
            why = images();
        if (why.isEmpty())
            why = serial();
        return why;
    }

private:
    QString missing(const QString &field) const { return QStringLiteral("工单缺少字段“%1”").arg(field); }

    QString text(const char *key, QString *value, bool required)
    {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined())
            return missing(QLatin1String(key));
        *value = v.toString().trimmed();
        if (!v.isString() || (required && value->isEmpty()))
            return fieldError(QLatin1String(key), required ? QStringLiteral("须为非空文本") : QStringLiteral("须为文本"));
        return QString();
    }

    QString quantity()
    {
        const QJsonValue v = o.value(QLatin1String("quantity"));
        if (v.isUndefined() || v.isNull())
            return QString();
        if (!isWholeNumber(v, 0, kMaxExactInteger))
            return fieldError(QStringLiteral("quantity"), QStringLiteral("须为不小于0的整数（0为不限数量）"));
        order->quantity = static_cast<qint64>(v.toDouble());
        return QString();
    }

    QString models()
    {
        const QJsonValue v = o.value(QLatin1String("models"));
        if (v.isUndefined())
            return missing(QStringLiteral("models"));
        const QJsonArray list = v.toArray();
        if (!v.isArray() || list.isEmpty())
            return fieldError(QStringLiteral("models"), QStringLiteral("须为芯片型号的列表，至少一个"));
        chipInfo catalogue;
        const QStringList known = catalogue.currentModels();
        for (int i = 0; i < list.size(); ++i) {
            const QString model = list.at(i).toString();
            if (!list.at(i).isString() || model.isEmpty())
                return fieldError(QStringLiteral("models[%1]").arg(i), QStringLiteral("须为芯片型号"));
            if (!known.contains(model))
                return fieldError(QStringLiteral("models[%1]").arg(i),
                                  QStringLiteral("的芯片型号“%1”不在芯片信息中（%2）").arg(model, known.join(QLatin1Char('/'))));
            if (!order->models.contains(model))
                order->models << model;
        }
        return QString();
    }

    QString baud()
    {
        const QJsonValue v = o.value(QLatin1String("baud"));
        if (v.isUndefined())
            return missing(QStringLiteral("baud"));
        if (!isWholeNumber(v, imagePlan::kMinBaud, imagePlan::kMaxBaud))
            return fieldError(QStringLiteral("baud"),
                              QStringLiteral("须为%1到%2之间的整数").arg(imagePlan::kMinBaud).arg(imagePlan::kMaxBaud));
        order->baud = static_cast<uint32_t>(v.toDouble());
        return QString();
    }

    QString options()
    {
        const QJsonValue v = o.value(QLatin1String("options"));
        if (v.isUndefined())
            return QString();
        if (!v.isObject())
            return fieldError(QStringLiteral("options"), QStringLiteral("须为对象"));
        const QJsonObject options = v.toObject();
        for (const QString &key : options.keys()) {
            const auto known = std::find_if(std::begin(kOptions), std::end(kOptions),
                                            [&](const auto &option) { return key == QLatin1String(option.first); });
            if (known == std::end(kOptions))
                return QStringLiteral("工单中有未知字段“options.%1”").arg(key);
            if (!options.value(key).isBool())
                return fieldError(QStringLiteral("options.") + key, QStringLiteral("须为 true 或 false"));
            order->*(known->second) = options.value(key).toBool();
        }
        return QString();
    }

    QString images()
    {
        const QJsonValue v = o.value(QLatin1String("images"));
        if (v.isUndefined())
            return missing(QStringLiteral("images"));
        const QJsonArray list = v.toArray();
        if (!v.isArray() || list.isEmpty())
            return fieldError(QStringLiteral("images"), QStringLiteral("须为烧录文件的列表，至少一个"));
        const QDir folder = QFileInfo(order->path).absoluteDir();
        for (int i = 0; i < list.size(); ++i) {
            const QString field = QStringLiteral("images[%1]").arg(i);
            if (!list.at(i).isObject())
                return fieldError(field, QStringLiteral("须为对象"));
            const QJsonObject one = list.at(i).toObject();
            const QString unknown = unknownKey(one, kImageKeys);
            if (!unknown.isEmpty())
                return QStringLiteral("工单中有未知字段“%1.%2”").arg(field, unknown);
            for (const char *key : kImageKeys) {
                if (!one.contains(QLatin1String(key)))
                    return missing(field + QLatin1Char('.') + QLatin1String(key));
                if (!one.value(QLatin1String(key)).isString())
                    return fieldError(field + QLatin1Char('.') + QLatin1String(key), QStringLiteral("须为文本"));
            }
            workOrder::image image;
            image.file = one.value(QLatin1String("file")).toString();
            if (image.file.isEmpty())
                return fieldError(field + QStringLiteral(".file"), QStringLiteral("须为非空文本"));
            image.path = QDir::cleanPath(folder.absoluteFilePath(image.file));
            const QRegularExpressionMatch m = kHexAddress.match(one.value(QLatin1String("address")).toString());
            if (!m.hasMatch())
                return fieldError(field + QStringLiteral(".address"),
                                  QStringLiteral("须为十六进制地址：“%1”").arg(one.value(QLatin1String("address")).toString()));
            image.address = m.captured(1).toUInt(nullptr, 16);
            const QString hash = one.value(QLatin1String("sha256")).toString();
            if (!kSha256.match(hash).hasMatch())
                return fieldError(field + QStringLiteral(".sha256"), QStringLiteral("须为64位十六进制的SHA-256"));
            image.sha256 = hash.toLower().toLatin1();
            order->images.append(image);
        }
        return QString();
    }

    // The serial rule of the serial-number feature, as vq_flash's
    // --serial-* options give it.
    QString serial()
    {
        const QJsonValue v = o.value(QLatin1String("serial"));
        if (v.isUndefined() || v.isNull())
            return QString();
        if (!v.isObject())
            return fieldError(QStringLiteral("serial"), QStringLiteral("须为对象"));
        const QJsonObject s = v.toObject();
        const QString unknown = unknownKey(s, kSerialKeys);
        if (!unknown.isEmpty())
            return QStringLiteral("工单中有未知字段“serial.%1”").arg(unknown);
        if (!s.contains(QLatin1String("at")))
            return missing(QStringLiteral("serial.at"));
        const QRegularExpressionMatch at = kHexAddress.match(s.value(QLatin1String("at")).toString());
        if (!at.hasMatch())
            return fieldError(QStringLiteral("serial.at"), QStringLiteral("须为十六进制地址"));
        serialRule &rule = order->serial;
        rule.address = at.captured(1).toUInt(nullptr, 16);
        order->serialOn = true;
        return s.contains(QLatin1String("list")) ? serialList(s) : serialCounterRule(s);
    }

    QString serialList(const QJsonObject &s)
    {
        for (const char *key : kCounterKeys) {
            if (s.contains(QLatin1String(key)))
                return fieldError(QStringLiteral("serial.") + QLatin1String(key),
                                  QStringLiteral("只用于计数器；列表模式按列表文件原样写入"));
        }
        const QString file = s.value(QLatin1String("list")).toString();
        if (file.isEmpty())
            return fieldError(QStringLiteral("serial.list"), QStringLiteral("须为非空文本"));
        if (!s.contains(QLatin1String("listSha256")))
            return missing(QStringLiteral("serial.listSha256"));
        const QString hash = s.value(QLatin1String("listSha256")).toString();
        if (!kSha256.match(hash).hasMatch())
            return fieldError(QStringLiteral("serial.listSha256"), QStringLiteral("须为64位十六进制的SHA-256"));
        const QString path = QDir::cleanPath(QFileInfo(order->path).absoluteDir().absoluteFilePath(file));
        if (!QFileInfo(path).isFile())
            return QStringLiteral("工单的序列号列表不存在：%1（字段“serial.list”）").arg(file);
        // Hashed before it is read: a changed list is not the approved one,
        // whatever its lines look like now.
        if (fileSha256(path) != hash.toLower().toLatin1())
            return QStringLiteral("序列号列表与工单不符：") + file;
        const serialListProblem p = loadSerialList(path, &order->serial);
        if (p)
            return fieldError(QStringLiteral("serial.list"), QStringLiteral("：") + serialListProblemText(p));
        return QString();
    }

    QString serialCounterRule(const QJsonObject &s)
    {
        if (s.contains(QLatin1String("listSha256")))
            return fieldError(QStringLiteral("serial.listSha256"), QStringLiteral("只用于列表模式（serial.list）"));
        serialRule &rule = order->serial;
        QString why = counter(s, "start", &rule.start);
        if (why.isEmpty())
            why = counter(s, "step", &rule.step);
        if (!why.isEmpty())
            return why;
        if (s.contains(QLatin1String("bytes"))) {
            if (!isWholeNumber(s.value(QLatin1String("bytes")), 1, kMaxCounterBytes))
                return fieldError(QStringLiteral("serial.bytes"), QStringLiteral("须为1到%1的整数").arg(kMaxCounterBytes));
            rule.bytes = static_cast<int>(s.value(QLatin1String("bytes")).toDouble());
        }
        if (s.contains(QLatin1String("format"))
            && !parseSerialFormat(s.value(QLatin1String("format")).toString(), &rule.written))
            return fieldError(QStringLiteral("serial.format"), QStringLiteral("须为 le、be、dec 或 hex"));
        switch (checkCounterRule(rule)) {
        case serialFault::badStep:
            return fieldError(QStringLiteral("serial.step"), QStringLiteral("须至少为1"));
        case serialFault::startTooWide:
            return fieldError(QStringLiteral("serial.start"), QStringLiteral("超出%1字节所能表示的范围").arg(rule.bytes));
        case serialFault::badBytes:
        case serialFault::none:
            break;
        }
        return QString();
    }

    // A counter's number: text in decimal or 0x hex (it may pass 2^53), or
    // a whole JSON number.
    QString counter(const QJsonObject &s, const char *key, serialCounter *value)
    {
        const QJsonValue v = s.value(QLatin1String(key));
        if (v.isUndefined())
            return QString();
        const QString text = v.isDouble() && isWholeNumber(v, 0, kMaxExactInteger)
                                 ? QString::number(static_cast<qint64>(v.toDouble()))
                                 : v.toString();
        if (!parseSerialCounter(text, value))
            return fieldError(QStringLiteral("serial.") + QLatin1String(key),
                              QStringLiteral("须为十进制数或以0x开头的十六进制数"));
        return QString();
    }

    const QJsonObject &o;
    workOrder *order;
};

// Why the plan of the images cannot be run, naming the field. The serial
// value's sector joins the plan whole, last: no image may share it.
QString planProblem(const workOrder &order, QVector<imagePlan::image> plan)
{
    const QVector<workOrder::image> &images = order.images;
    if (order.serialOn)
        plan.append({order.serial.address, imagePlan::kSectorSize});
    const auto name = [&](int index) {
        return index < images.size() ? images.at(index).file : QStringLiteral("序列号所在的扇区");
    };
    const imagePlan::problem p = imagePlan::check(plan);
    const QString field = p.first < images.size() ? QStringLiteral("images[%1].address").arg(p.first)
                                                  : QStringLiteral("serial.at");
    switch (p.kind) {
    case imagePlan::fault::unaligned:
        return fieldError(field, QStringLiteral("未按4K对齐：%1").arg(hexAddress(plan.at(p.first).address)));
    case imagePlan::fault::empty:
        return QStringLiteral("工单的烧录文件为空：%1").arg(name(p.first));
    case imagePlan::fault::pastAddressSpace:
        return fieldError(field, QStringLiteral("超出32位地址范围"));
    case imagePlan::fault::overlap:
        return fieldError(p.second < images.size() ? QStringLiteral("images") : QStringLiteral("serial.at"),
                          QStringLiteral("中 %1 与 %2 的烧录区域重叠").arg(name(p.first), name(p.second)));
    case imagePlan::fault::pastFlash:
    case imagePlan::fault::none:
        break;
    }
    return QString();
}

// Reads every image of the order whole; null with the refusal otherwise.
firmwareImageSet readImages(const workOrder &order, QString *error)
{
    for (int i = 0; i < order.images.size(); ++i) {
        if (!QFileInfo(order.images.at(i).path).isFile()) {
            *error = QStringLiteral("工单的烧录文件不存在：%1（字段“images[%2].file”）").arg(order.images.at(i).file).arg(i);
            return {};
        }
    }
    uint32_t code = 0;
    int failed = -1;
    const firmwareImageSet set = loadFirmwareImages(order.paths(), order.addresses(), code, failed);
    if (!set) {
        const QString file = order.images.value(failed).file;
        *error = (code & resultCode::kTransferMask) == resultCode::kTransferEmptyFile
                     ? QStringLiteral("工单的烧录文件为空：%1").arg(file)
                     : QStringLiteral("无法读取工单的烧录文件：%1").arg(file);
    }
    return set;
}

// The serial rule as an order writes it; a list named relative to folder.
QByteArray serialJson(const serialRule &rule, const QDir &folder)
{
    QByteArray text = "{\"at\": \"" + hexAddress(rule.address).toLatin1() + "\"";
    if (rule.kind == serialRule::source::list)
        return text + ", \"list\": " + compact(QDir::fromNativeSeparators(folder.relativeFilePath(rule.listPath)))
               + ", \"listSha256\": \"" + rule.listSha256 + "\"}";
    // A step a JSON number holds exactly is written as one.
    const QByteArray step = counterDecimal(rule.step).toLatin1();
    return text + ", \"start\": \"0x" + counterHex(rule.start).toLatin1() + "\", \"step\": "
           + (rule.step <= serialCounter(kMaxExactInteger) ? step : "\"" + step + "\"")
           + ", \"bytes\": " + QByteArray::number(rule.bytes)
           + ", \"format\": \"" + serialFormatName(rule.written).toLatin1() + "\"}";
}

QString hashMismatch(const workOrder &order, const firmwareImageSet &set)
{
    for (int i = 0; i < order.images.size(); ++i) {
        if (set->at(i).sha256 != order.images.at(i).sha256)
            return QStringLiteral("烧录文件与工单不符：") + order.images.at(i).file;
    }
    return QString();
}
} // namespace

QStringList workOrder::paths() const
{
    QStringList list;
    for (const image &i : images)
        list << i.path;
    return list;
}

QList<uint32_t> workOrder::addresses() const
{
    QList<uint32_t> list;
    for (const image &i : images)
        list << i.address;
    return list;
}

bool loadWorkOrder(const QString &path, workOrder *order, QString *error)
{
    *order = workOrder();
    order->path = QFileInfo(path).absoluteFilePath();
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("无法读取工单文件：") + QDir::toNativeSeparators(path);
        return false;
    }
    if (file.size() > kMaxOrderBytes) {
        *error = QStringLiteral("工单文件过大，不是工单：") + QDir::toNativeSeparators(path);
        return false;
    }
    const QByteArray bytes = file.readAll();
    order->fileSha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        *error = parse.error != QJsonParseError::NoError
                     ? QStringLiteral("工单文件不是有效的JSON（第%1个字节：%2）").arg(parse.offset).arg(parse.errorString())
                     : QStringLiteral("工单文件须为一个JSON对象");
        return false;
    }
    *error = orderReader(doc.object(), order).read();
    if (!error->isEmpty())
        return false;
    order->loaded = readImages(*order, error);
    if (!order->loaded)
        return false;
    *error = hashMismatch(*order, order->loaded);
    if (error->isEmpty())
        *error = planProblem(*order, planOf(order->loaded));
    if (!error->isEmpty()) {
        order->loaded.reset();
        return false;
    }
    return true;
}

QString checkOrderFiles(const workOrder &order)
{
    QString error;
    const firmwareImageSet now = readImages(order, &error);
    if (!now)
        return error;
    error = hashMismatch(order, now);
    if (error.isEmpty() && order.serialOn && order.serial.kind == serialRule::source::list
        && fileSha256(order.serial.listPath) != order.serial.listSha256)
        return QStringLiteral("序列号列表与工单不符：") + QFileInfo(order.serial.listPath).fileName();
    return error;
}

bool saveWorkOrder(const QString &path, const workOrder &order, QString *error)
{
    if (order.name.trimmed().isEmpty()) {
        *error = fieldError(QStringLiteral("order"), QStringLiteral("须为非空文本"));
        return false;
    }
    if (order.models.isEmpty()) {
        *error = fieldError(QStringLiteral("models"), QStringLiteral("须为芯片型号的列表，至少一个"));
        return false;
    }
    if (!imagePlan::baudAllowed(order.baud)) {
        *error = fieldError(QStringLiteral("baud"),
                            QStringLiteral("须为%1到%2之间的整数").arg(imagePlan::kMinBaud).arg(imagePlan::kMaxBaud));
        return false;
    }
    workOrder written = order;
    const QDir folder = QFileInfo(path).absoluteDir();
    for (workOrder::image &i : written.images) {
        i.path = QFileInfo(i.path).absoluteFilePath();
        i.file = QDir::fromNativeSeparators(folder.relativeFilePath(i.path));
    }
    const firmwareImageSet set = readImages(written, error);
    if (!set)
        return false;
    *error = planProblem(written, planOf(set));
    if (!error->isEmpty())
        return false;

    // By hand, in the order a reader expects the keys; QJsonObject would
    // sort them.
    QByteArray text = "{\n";
    text += "    \"order\": " + compact(written.name.trimmed()) + ",\n";
    text += "    \"product\": " + compact(written.product) + ",\n";
    text += "    \"quantity\": " + QByteArray::number(written.quantity) + ",\n";
    text += "    \"models\": " + compact(QJsonArray::fromStringList(written.models)) + ",\n";
    text += "    \"baud\": " + QByteArray::number(written.baud) + ",\n";
    QByteArrayList options;
    for (const auto &option : kOptions)
        options << QByteArray("\"") + option.first + "\": " + (written.*(option.second) ? "true" : "false");
    text += "    \"options\": {" + options.join(", ") + "},\n";
    text += "    \"images\": [\n";
    for (int i = 0; i < written.images.size(); ++i) {
        const workOrder::image &image = written.images.at(i);
        text += "        {\"file\": " + compact(image.file) + ", \"address\": \"" + hexAddress(image.address).toLatin1()
                + "\", \"sha256\": \"" + set->at(i).sha256 + "\"}" + (i + 1 < written.images.size() ? ",\n" : "\n");
    }
    text += written.serialOn ? "    ],\n    \"serial\": " + serialJson(written.serial, folder) + "\n}\n" : "    ]\n}\n";

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        *error = QStringLiteral("无法写入工单文件：%1（%2）").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    return true;
}

lineJob jobFor(const workOrder &order, const QString &operatorName, qint64 doneBefore)
{
    lineJob job;
    job.files = order.paths();
    job.addresses = order.addresses();
    job.images = order.loaded;
    job.baud = order.baud;
    job.highSpeed = order.highSpeed;
    job.reset = order.reset;
    job.boot = order.boot;
    job.fixture = order.dsr;
    job.keepGoing = order.dsr && order.keepGoing;
    job.eraseBeforeWrite = order.eraseAll;
    job.fastLoad = order.fastLoad;
    job.models = order.models;
    job.order.name = order.name;
    job.order.operatorName = operatorName;
    job.order.fileSha256 = order.fileSha256;
    job.order.quantity = order.quantity;
    job.order.doneBefore = doneBefore;
    return job;
}
