#pragma once
// Reading side of single-disk ZIP archives (stored and deflated entries,
// traditional PKWARE encryption), streaming entry data from file to file.

#include <cstdint>

enum ZipResult : uint32_t {
    ZipOk = 0,
    ZipNoFile = 0x200,
    ZipWriteFailed = 0x400,
    ZipCorrupt = 0x700,
    ZipReadFailed = 0x800,
    ZipPassword = 0x1000,
    ZipArgs = 0x10000,
    ZipNameTooLong = 0x20000,     // stored name of 1024 bytes or more
    ZipUnsafeName = 0x40000,      // target would land outside the base folder
    ZipWrongMode = 0x80000,
    ZipInflateFailed = 0x5000000,
    ZipCrcMismatch = 0x6000000,   // data delivered in full but its CRC-32 differs
    ZipTooLong = 0x7000000,       // data runs on past the size the directory declares
};

struct ArchiveEntry {
    int index = 0;          // for the request -1: the number of entries
    char name[1024] = {};   // cleaned name, bytes as stored
    uint32_t attr = 0;
    int32_t atime = 0, ctime = 0, mtime = 0;
    uint32_t compSize = 0;
    uint32_t uncSize = 0;
};

struct ZipHandle;

// Extraction base = the current working directory at open time.
ZipHandle *openArchive(const char *fileName, const char *password);
// Same, with an explicit extraction base folder (tests, tools).
ZipHandle *openArchiveAt(const char *fileName, const char *password, const char *baseFolder);
uint32_t getArchiveEntry(ZipHandle *handle, int index, ArchiveEntry *entry);
uint32_t extractEntry(ZipHandle *handle, int index, const char *targetName);
uint32_t closeArchive(ZipHandle *handle);
