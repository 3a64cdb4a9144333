#pragma once
#include <QMap>
#include <QString>

// The factory window's settings and counters: one JSON object of string
// values in configDir()/cfg_file.json. Every call reads the file afresh;
// every write replaces it whole, so a crash leaves the old file or the new
// one, never a torn one.
QString cfgFilePath();

// true when the file exists and holds a JSON object. Otherwise a default
// file for rowCount file rows takes its place and the result is false; a
// file that was there but unreadable as settings (over 1 MiB included) is
// first kept as cfg_file.json.bad, whose path then goes to keptAside. A
// readable file whose counters are not unsigned decimal text is copied to
// cfg_file.json.bad too (keptAside set, result true) and those counters
// restart from 0.
bool ensureDefaults(int rowCount, QString *keptAside = nullptr);

// false, with value untouched, when the file or the key is missing. A value
// that is not a JSON string reads as empty text.
bool readValue(const QString &key, QString &value);

// Sets a key that the file already has; an absent key is not added.
bool writeValue(const QString &key, const QString &value);
// As writeValue, but adds the key when it is absent.
bool addValue(const QString &key, const QString &value);

// Several present keys in one replacement of the file (counters that belong
// together, the file rows); absent keys are skipped. false when the file
// could not be read or written, or a key was absent; lost, when given, says
// whether it was the file (nothing saved) rather than an absent key.
bool writeValues(const QMap<QString, QString> &values, bool *lost = nullptr);

// The production line this PC is, for the production records: the key
// "line_name", or the host name while it is missing or empty.
QString lineName();
