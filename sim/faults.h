#pragma once

#include <QString>
#include <cstdint>
#include <vector>

// A misbehaviour the simulated chip shows on request, so the host's error
// paths can be driven without real broken hardware.
struct SimFault {
    enum Kind {
        Silent,        // answers nothing at all
        WrongDate,     // boot ROM reports a build date no catalogue knows
        Nak,           // NAK instead of ACK for data block `block`
        Cancel,        // five CAN bytes instead of ACK at block `block`
        Garbage,       // `count` random bytes before every text reply
        GarbageOnly,   // random bytes instead of every text reply
        EotAck,        // ACK instead of NAK for the first EOT
        EraseFail,     // fail marker for ferase / ferase_all
        AddrFail,      // fail marker for startaddr
        FileCountOff,  // filecount reply off by `count`
        SlowFlash,     // erase/program take time: `eraseUs`, `programUs`, `chipEraseUs`
        Disconnect,    // the port vanishes when block `block` arrives
        RamSilent,     // a good RAM-code load, then nothing answers
        BaudIgnored,   // after a baudrate command the chip stays deaf until reset
        BootBaudIgnored, // the boot ROM stays at its speed after the boot baudrate line
        InRam,         // the chip runs its RAM code already
        FlashTestFail, // flash_test reports a bad position
    };
    Kind kind = Silent;
    bool always = false;
    // Block faults count data blocks from 1 (the header is 0) within one
    // transfer (-1: any block); transfer faults hit flash transfers unless
    // `ram` is set. `file` aims at the file-th flash transfer since the RAM
    // code started (0: any), so a test can hit the last file of a run alone.
    int block = -1;
    int file = 0;
    bool ram = false;
    int count = 0;
    int64_t eraseUs = 0;
    int64_t programUs = 0;
    int64_t chipEraseUs = -1;
};

// Parses "NAME" or "NAME=ARG" as accepted by --fault and the FAULT request.
bool parseSimFault(const QString &text, SimFault *out, QString *error);

// The fault list for --help, one line per fault.
QString simFaultHelp();
