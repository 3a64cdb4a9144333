#pragma once
#include <QString>

class QSqlDatabase;

// The production database's tables, the same on a line's SQLite file and on
// the factory's PostgreSQL server:
//
//   records  one row per counted chip, erase, stopped or interrupted chip
//     id            UUID, the row's name everywhere (uuid on the server)
//     time_ms       UTC milliseconds since the epoch
//     utc_offset    seconds east of UTC at the line
//     host, line, station, port, model, flash_id, uid
//     operation     "download" or "erase"
//     ok            1 counted good, 0 counted failed
//     code, text    the final result code and its text
//     first_code    the first attempt's code when a retry followed, else 0
//     seconds, bytes, baud, high_speed, tool_version
//   from version 2, how the chip was made ('' / 0 / NULL in older rows:
//   not recorded):
//     fast_load     "off", "used" or "fell-back" (RAM code at 115200 after all)
//     ram_code_file, ram_code_sha256   the RAM code loaded, by name and hash
//     flash_size, rom_build            what the chip reported of itself
//     image_baud    the speed the images really went at (0: none sent)
//     erase_before_write, boot, reset, dsr_mode   the run's options (0 / 1)
//   from version 3 ('' in older rows: not recorded):
//     socket        the USB socket the port was plugged into (by-path name)
//     sent          (SQLite only) 1 once the server has the row
//     seq           (SQLite) local order of appending; (server) order of arrival
//   from version 4:
//     serial, serial_number   the chip's own value (hex bytes in flash order)
//                   and a counter's number in decimal; '' when it got none
//   from version 5 ('' / 0 in older rows and in rows of no order):
//     work_order, operator_name   the production order and who ran it
//     order_sha256, order_quantity  the order file's SHA-256, its quantity
//   images   per image of a row: record_id, idx (from 0), file_name, size,
//            address, sha256 (lower-case hex of the bytes sent)
//   serials  (version 4) every value reserved: rule, seq (its place in the
//            rule's sequence), value, number, state (reserved, used, void,
//            free = given back), record_id and uid of its chip, time_ms,
//            line, station; on a line also source (the server that leased
//            it, '' for the line's own counter), host, pid and
//            process_start of the reserving process, and sent
//   serial_counters  a rule's next place: the line's own, or the factory's
//   serial_leases    blocks of places the server handed to lines
//
// The version is SQLite's user_version on a line and the one row of
// schema_version on the server. Opening an older database brings it to the
// current version step by step; a newer one is left alone.
constexpr int kRecordSchemaVersion = 5;
// The version whose rows carry their production order.
constexpr int kOrderSchemaVersion = 5;

// Whether an open SQLite file may be a line's database: one without any
// table (new or empty), or one with our records table and a version. A
// file of another program is refused before anything is written to it.
bool isOurDatabase(QSqlDatabase &db, QString *error);
// Creates or migrates a line's database, step by step up to target (an
// older version only for making the files older tools made); false with
// the reason otherwise.
bool prepareLocalSchema(QSqlDatabase &db, QString *error, int target = kRecordSchemaVersion);
// The schema version of an open database without changing anything: SQLite's
// user_version, or the server's schema_version (0 when it has no tables).
bool readSchemaVersion(QSqlDatabase &db, bool server, int *version, QString *error);
// Creates the server's tables when missing; false with the reason when the
// server holds a newer version or cannot be changed.
bool prepareServerSchema(QSqlDatabase &db, QString *error, int target = kRecordSchemaVersion);
