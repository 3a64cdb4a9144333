#include "zipreader.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <direct.h>
#include <sys/utime.h>
#else
#include <unistd.h>
#include <utime.h>
#endif

namespace {

constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;

constexpr uint64_t kEndRecordSize = 22;
constexpr uint64_t kZip64LocatorSize = 20;
constexpr uint64_t kCentralHeaderSize = 46;
constexpr uint64_t kLocalHeaderSize = 30;
// The end record carries a comment of at most 65535 bytes, but the search
// looks back no further than this from the end of the file, so a comment
// longer than 65535 - 22 bytes hides the record.
constexpr uint64_t kMaxBack = 65535;
constexpr size_t kSearchChunk = 1024;
// Each window reads 4 bytes beyond the next one so that a signature split
// between two windows is still seen.
constexpr size_t kSearchWindow = kSearchChunk + 4;
constexpr size_t kBufferSize = 16384;
constexpr size_t kNameField = 1024;
constexpr size_t kEncryptionHeader = 12;

constexpr int kKindReader = 1;

constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDescriptor = 0x0008;
constexpr uint16_t kFlagStrongEncryption = 0x0040;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint32_t kZip64Marker = 0xFFFFFFFFu;
// Hosts whose external attributes are FAT-style bits: MS-DOS/OS2, Macintosh,
// NTFS, VFAT. Every other host puts a Unix mode in the high half.
constexpr uint32_t kFatHosts = 0x4881;
constexpr uint32_t kFolderMode = 0x4000;
constexpr uint32_t kFolderMask = 0xF000;
constexpr uint32_t kOwnerWrite = 0x80;
constexpr uint16_t kExtendedTimestampId = 0x5455;

uint16_t le16(const unsigned char *p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t le32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool seekTo(FILE *f, uint64_t pos)
{
#ifdef _WIN32
    return _fseeki64(f, int64_t(pos), SEEK_SET) == 0;
#else
    if (pos > uint64_t(INT64_MAX))
        return false;
    return fseeko(f, off_t(pos), SEEK_SET) == 0;
#endif
}

bool readAt(FILE *f, uint64_t pos, void *buf, size_t len)
{
    return seekTo(f, pos) && fread(buf, 1, len, f) == len;
}

// The Microsoft C runtime's stat does not find a folder named with a
// trailing separator, and folder entries end in one.
std::string withoutTrailingSeparators(std::string path)
{
    while (path.size() > 1 && isSeparator(path.back()) && path[path.size() - 2] != ':')
        path.pop_back();
    return path;
}

bool isFolder(const std::string &path)
{
    struct stat st;
    return stat(withoutTrailingSeparators(path).c_str(), &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(withoutTrailingSeparators(path).c_str(), &st) == 0;
}

void makeOneFolder(const std::string &path)
{
#ifdef _WIN32
    _mkdir(path.c_str());
#else
    mkdir(path.c_str(), 0777);
#endif
}

// Creation failures are left to surface when the output file cannot be made.
void makeFolders(const std::string &base, const std::string &folder)
{
    if (!base.empty()) {
        std::string bare = base;
        if (bare.size() > 1 && isSeparator(bare.back()))
            bare.pop_back();
        if (!exists(bare))
            makeOneFolder(bare);
    }
    for (size_t i = 1; i < folder.size(); ++i) {
        if (isSeparator(folder[i]) && !exists(base + folder.substr(0, i)))
            makeOneFolder(base + folder.substr(0, i));
    }
    if (!folder.empty() && !exists(base + folder))
        makeOneFolder(base + folder);
}

void cleanName(std::string &name)
{
    static const char *const kUpLinks[] = {"\\..\\", "\\../", "/../", "/..\\"};
    for (;;) {
        if (name.size() >= 2 && name[1] == ':') {
            name.erase(0, 2);
            continue;
        }
        if (!name.empty() && isSeparator(name[0])) {
            name.erase(0, 1);
            continue;
        }
        bool cut = false;
        for (const char *link : kUpLinks) {
            size_t at = name.find(link);
            if (at != std::string::npos) {
                name.erase(0, at + 4);
                cut = true;
                break;
            }
        }
        if (!cut)
            return;
    }
}

// Windows opens these names as devices in any folder and with any extension;
// writing to COM1 on a flashing station would go to a serial port.
bool isDeviceName(const std::string &component)
{
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    std::string stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char &c : stem)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    for (const char *device : kDevices)
        if (stem == device)
            return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0)
        && stem[3] >= '1' && stem[3] <= '9';
}

// A target is written only when it stays below the base folder whatever the
// platform makes of it. The release archive is made for Windows, so the same
// rules hold everywhere: relative, no ".." component, no all-dots component
// (Windows folds "..." and ".. " into ".."), no colon (drive letters and
// alternate data streams), no device name.
bool staysInside(const char *target)
{
    if (!target[0] || isSeparator(target[0]))
        return false;
    const char *part = target;
    for (const char *p = target;; ++p) {
        if (*p == ':')
            return false;
        if (*p == 0 || isSeparator(*p)) {
            const std::string component(part, size_t(p - part));
            if (component != "." && !component.empty()
                && component.find_first_not_of(". ") == std::string::npos)
                return false;
            if (isDeviceName(component))
                return false;
            if (*p == 0)
                return true;
            part = p + 1;
        }
    }
}

int32_t dosToTime(uint32_t dosDateTime)
{
    const uint32_t date = dosDateTime >> 16;
    const uint32_t time = dosDateTime & 0xFFFF;
    std::tm tm{};
    tm.tm_year = int(80 + (date >> 9));
    tm.tm_mon = int((date >> 5) & 0x0F) - 1;
    tm.tm_mday = int(date & 0x1F);
    tm.tm_hour = int(time >> 11);
    tm.tm_min = int((time >> 5) & 0x3F);
    tm.tm_sec = int((time & 0x1F) * 2);
    tm.tm_isdst = -1;
    const time_t t = mktime(&tm);
    return t == time_t(-1) ? 0 : int32_t(t);
}

class PkCipher {
public:
    void init(const std::string &password)
    {
        keys_[0] = 0x12345678;
        keys_[1] = 0x23456789;
        keys_[2] = 0x34567890;
        for (unsigned char c : password)
            update(c);
    }
    void decrypt(unsigned char *buf, size_t len)
    {
        for (size_t i = 0; i < len; ++i) {
            const uint32_t t = (keys_[2] & 0xFFFF) | 2;
            buf[i] ^= uint8_t((t * (t ^ 1)) >> 8);
            update(buf[i]);
        }
    }

private:
    static uint32_t crcByte(uint32_t crc, unsigned char c)
    {
        static const z_crc_t *table = get_crc_table();
        return uint32_t(table[(crc ^ c) & 0xFF]) ^ (crc >> 8);
    }
    void update(unsigned char c)
    {
        keys_[0] = crcByte(keys_[0], c);
        keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
        keys_[2] = crcByte(keys_[2], uint8_t(keys_[1] >> 24));
    }
    uint32_t keys_[3] = {};
};

struct CentralEntry {
    uint16_t versionMadeBy = 0, flags = 0, method = 0;
    uint32_t dosDateTime = 0, crc = 0, compSize = 0, uncSize = 0;
    uint16_t nameLen = 0, extraLen = 0, commentLen = 0;
    uint32_t externalAttr = 0, localOffset = 0;
    char name[kNameField] = {}; // filled only when nameLen < kNameField
};

struct OpenEntry {
    unsigned char in[kBufferSize];
    size_t inPos = 0, inLen = 0;
    z_stream zs{};
    bool inflating = false;
    bool encrypted = false;
    PkCipher cipher;
    uint64_t dataPos = 0;
    uint32_t compLeft = 0, uncLeft = 0;
    uint32_t crc = 0, expectedCrc = 0;
    bool ended = false;

    ~OpenEntry()
    {
        if (inflating)
            inflateEnd(&zs);
    }
};

} // namespace

struct ArchiveReader {
    FILE *file = nullptr;
    bool ownsFile = true;
    bool seekable = false;
    uint64_t openPos = 0;

    uint32_t totalEntries = 0;
    uint32_t centralSize = 0, centralOffset = 0;
    uint16_t commentLen = 0;
    uint64_t endPos = 0;
    uint64_t byteBefore = 0;

    uint32_t number = 0;
    uint64_t centralPos = 0;
    CentralEntry current;
    bool currentValid = false;

    std::unique_ptr<OpenEntry> open;
    std::string base;
    std::string password;
    ArchiveEntry cached;
    long cachedIndex = -2;
    std::unique_ptr<unsigned char[]> outBuffer;

    ~ArchiveReader()
    {
        open.reset();
        if (file && ownsFile)
            fclose(file);
    }
};

struct ZipHandle {
    int kind = kKindReader;
    ArchiveReader *reader = nullptr;
};

namespace {

uint64_t fileSize(FILE *f)
{
#ifdef _WIN32
    if (_fseeki64(f, 0, SEEK_END) != 0)
        return 0;
    const int64_t size = _ftelli64(f);
#else
    if (fseeko(f, 0, SEEK_END) != 0)
        return 0;
    const int64_t size = ftello(f);
#endif
    return size < 0 ? 0 : uint64_t(size);
}

bool findEndRecord(FILE *f, uint64_t *endPos)
{
    const uint64_t size = fileSize(f);
    if (size <= 4)
        return false;
    const uint64_t maxBack = size < kMaxBack ? size : kMaxBack;
    unsigned char window[kSearchWindow];
    uint64_t back = 4;
    while (back < maxBack) {
        back = back + kSearchChunk < maxBack ? back + kSearchChunk : maxBack;
        const uint64_t readPos = size - back;
        const size_t len = size_t(size - readPos < kSearchWindow ? size - readPos : kSearchWindow);
        if (!readAt(f, readPos, window, len))
            return false;
        for (size_t i = len - 4 + 1; i-- > 0;) {
            if (le32(window + i) == kEndSignature) {
                *endPos = readPos + i;
                return true;
            }
        }
    }
    return false;
}

bool readEndRecord(ArchiveReader &r)
{
    unsigned char rec[kEndRecordSize];
    if (!readAt(r.file, r.endPos, rec, sizeof rec))
        return false;
    const uint16_t thisDisk = le16(rec + 4);
    const uint16_t centralDisk = le16(rec + 6);
    const uint16_t entriesHere = le16(rec + 8);
    const uint16_t entriesTotal = le16(rec + 10);
    r.centralSize = le32(rec + 12);
    r.centralOffset = le32(rec + 16);
    r.commentLen = le16(rec + 20);
    r.totalEntries = entriesTotal;
    if (thisDisk != 0 || centralDisk != 0 || entriesHere != entriesTotal)
        return false;
    const uint64_t centralEnd = uint64_t(r.centralOffset) + r.centralSize;
    if (r.endPos + r.openPos < centralEnd)
        return false;
    // A Zip64 archive keeps its true values in records this reader does not
    // read; taking the plain record at its word would misplace everything.
    if (r.endPos >= kZip64LocatorSize) {
        unsigned char sig[4];
        if (readAt(r.file, r.endPos - kZip64LocatorSize, sig, 4) && le32(sig) == kZip64LocatorSignature)
            return false;
    }
    r.byteBefore = r.endPos + r.openPos - centralEnd;
    return true;
}

// Reads the central header at archive offset pos into r.current. Entries must
// lie wholly inside the central directory so that a walk cannot wander off.
void readCentral(ArchiveReader &r, uint64_t pos)
{
    r.centralPos = pos;
    r.currentValid = false;
    CentralEntry &e = r.current;
    unsigned char h[kCentralHeaderSize];
    if (!readAt(r.file, pos + r.byteBefore, h, sizeof h) || le32(h) != kCentralSignature)
        return;
    e.versionMadeBy = le16(h + 4);
    e.flags = le16(h + 8);
    e.method = le16(h + 10);
    e.dosDateTime = le32(h + 12);
    e.crc = le32(h + 16);
    e.compSize = le32(h + 20);
    e.uncSize = le32(h + 24);
    e.nameLen = le16(h + 28);
    e.extraLen = le16(h + 30);
    e.commentLen = le16(h + 32);
    e.externalAttr = le32(h + 38);
    e.localOffset = le32(h + 42);
    const uint64_t end = pos + kCentralHeaderSize + e.nameLen + e.extraLen + e.commentLen;
    if (end > uint64_t(r.centralOffset) + r.centralSize)
        return;
    e.name[0] = 0;
    if (e.nameLen < kNameField) {
        if (fread(e.name, 1, e.nameLen, r.file) != e.nameLen)
            return;
        e.name[e.nameLen] = 0;
    }
    r.currentValid = true;
}

void goToFirst(ArchiveReader &r)
{
    r.number = 0;
    if (r.totalEntries == 0) {
        r.currentValid = false;
        return;
    }
    readCentral(r, r.centralOffset);
}

uint32_t goToEntry(ArchiveReader &r, uint32_t index)
{
    if (index < r.number)
        goToFirst(r);
    while (r.number < index) {
        if (!r.currentValid || r.number + 1 >= r.totalEntries)
            return ZipCorrupt;
        const CentralEntry &e = r.current;
        const uint64_t next = r.centralPos + kCentralHeaderSize + e.nameLen + e.extraLen + e.commentLen;
        ++r.number;
        readCentral(r, next);
    }
    return r.currentValid ? ZipOk : ZipCorrupt;
}

// Checks the local header of the current entry against its central record and
// gives the file position of the local extra field and of the entry's data.
uint32_t checkLocal(ArchiveReader &r, uint64_t *extraPos, uint16_t *extraLen, uint64_t *dataPos)
{
    const CentralEntry &e = r.current;
    if (e.method != kMethodStored && e.method != kMethodDeflated)
        return ZipCorrupt;
    if (e.flags & kFlagStrongEncryption)
        return ZipCorrupt;
    if (e.compSize == kZip64Marker || e.uncSize == kZip64Marker || e.localOffset == kZip64Marker)
        return ZipCorrupt;
    unsigned char h[kLocalHeaderSize];
    const uint64_t pos = uint64_t(e.localOffset) + r.byteBefore;
    if (!readAt(r.file, pos, h, sizeof h) || le32(h) != kLocalSignature)
        return ZipCorrupt;
    const uint16_t flags = le16(h + 6);
    if (le16(h + 8) != e.method)
        return ZipCorrupt;
    if (!(flags & kFlagDescriptor)
        && (le32(h + 14) != e.crc || le32(h + 18) != e.compSize || le32(h + 22) != e.uncSize))
        return ZipCorrupt;
    if (le16(h + 26) != e.nameLen)
        return ZipCorrupt;
    *extraLen = le16(h + 28);
    *extraPos = pos + kLocalHeaderSize + e.nameLen;
    *dataPos = *extraPos + *extraLen;
    return ZipOk;
}

// The first "UT" block of the local extra field overrides the DOS time; only
// the times that fit inside both the block and the field are taken.
void applyExtendedTimes(const std::vector<unsigned char> &extra, ArchiveEntry &entry)
{
    if (extra.size() <= 4)
        return;
    size_t pos = 0;
    while (extra.size() - pos >= 5) {
        const uint16_t id = le16(&extra[pos]);
        const size_t len = le16(&extra[pos + 2]);
        if (id == kExtendedTimestampId) {
            const size_t start = pos + 4;
            const size_t end = start + len < extra.size() ? start + len : extra.size();
            if (start >= end)
                return;
            const unsigned char flags = extra[start];
            size_t at = start + 1;
            int32_t *slots[] = {&entry.mtime, &entry.atime, &entry.ctime};
            for (int bit = 0; bit < 3; ++bit) {
                if (!(flags & (1 << bit)))
                    continue;
                if (end - at < 4)
                    return;
                *slots[bit] = int32_t(le32(&extra[at]));
                at += 4;
            }
            return;
        }
        pos += 4 + len;
        if (pos >= extra.size())
            return;
    }
}

uint32_t fillEntry(ArchiveReader &r, uint32_t index, ArchiveEntry &entry)
{
    const uint32_t walked = goToEntry(r, index);
    if (walked != ZipOk)
        return walked;
    const CentralEntry &e = r.current;
    if (e.nameLen >= kNameField)
        return ZipNameTooLong;
    uint64_t extraPos = 0, dataPos = 0;
    uint16_t extraLen = 0;
    if (checkLocal(r, &extraPos, &extraLen, &dataPos) != ZipOk)
        return ZipCorrupt;
    std::vector<unsigned char> extra(extraLen);
    if (extraLen && !readAt(r.file, extraPos, extra.data(), extraLen))
        return ZipReadFailed;

    entry.index = int(index);
    std::string name(e.name);
    cleanName(name);
    memcpy(entry.name, name.c_str(), name.size() + 1);

    const uint32_t host = e.versionMadeBy >> 8;
    bool readOnly, folder;
    if (host < 32 && (kFatHosts >> host) & 1) {
        readOnly = e.externalAttr & 0x01;
        folder = e.externalAttr & 0x10;
    } else {
        readOnly = !(e.externalAttr & (1u << 23));
        folder = e.externalAttr & (1u << 30);
    }
    entry.attr = e.externalAttr >> 16;
    if (folder)
        entry.attr |= kFolderMode;
    if (readOnly)
        entry.attr &= ~kOwnerWrite;

    entry.compSize = e.compSize;
    entry.uncSize = e.uncSize;
    entry.atime = entry.ctime = entry.mtime = dosToTime(e.dosDateTime);
    applyExtendedTimes(extra, entry);
    return ZipOk;
}

uint32_t openEntryData(ArchiveReader &r)
{
    r.open.reset();
    uint64_t extraPos = 0, dataPos = 0;
    uint16_t extraLen = 0;
    if (checkLocal(r, &extraPos, &extraLen, &dataPos) != ZipOk)
        return ZipInflateFailed;
    const CentralEntry &e = r.current;
    auto open = std::make_unique<OpenEntry>();
    open->dataPos = dataPos;
    open->compLeft = e.compSize;
    open->uncLeft = e.uncSize;
    open->expectedCrc = e.crc;
    if (e.method == kMethodDeflated) {
        if (inflateInit2(&open->zs, -MAX_WBITS) != Z_OK)
            return ZipInflateFailed;
        open->inflating = true;
    }
    if (e.flags & kFlagEncrypted) {
        if (open->compLeft < kEncryptionHeader)
            return ZipInflateFailed;
        unsigned char header[kEncryptionHeader];
        if (!readAt(r.file, open->dataPos, header, sizeof header))
            return ZipInflateFailed;
        open->cipher.init(r.password);
        open->cipher.decrypt(header, sizeof header);
        // Writers that stream the entry do not know the CRC yet when they
        // write this header, so they check against the time instead.
        const uint8_t check = (e.flags & kFlagDescriptor) ? uint8_t(e.dosDateTime >> 8)
                                                          : uint8_t(e.crc >> 24);
        if (header[kEncryptionHeader - 1] != check)
            return ZipPassword;
        open->encrypted = true;
        open->dataPos += kEncryptionHeader;
        open->compLeft -= kEncryptionHeader;
    }
    if (!open->inflating && open->compLeft > open->uncLeft)
        return ZipTooLong;
    r.open = std::move(open);
    return ZipOk;
}

bool refill(ArchiveReader &r, OpenEntry &o)
{
    const size_t len = o.compLeft < kBufferSize ? o.compLeft : kBufferSize;
    if (!readAt(r.file, o.dataPos, o.in, len))
        return false;
    if (o.encrypted)
        o.cipher.decrypt(o.in, len);
    o.dataPos += len;
    o.compLeft -= uint32_t(len);
    o.inPos = 0;
    o.inLen = len;
    if (o.inflating) {
        o.zs.next_in = o.in;
        o.zs.avail_in = uInt(len);
    }
    return true;
}

// After the declared size has been delivered a deflate stream is to end. One
// that still yields bytes is the mark of a bomb whose directory understates
// its size, and is never to be taken as a shorter file.
bool runsOnPastSize(ArchiveReader &r, OpenEntry &o)
{
    for (;;) {
        if (o.zs.avail_in == 0 && o.compLeft > 0 && !refill(r, o))
            return false;
        unsigned char beyond;
        o.zs.next_out = &beyond;
        o.zs.avail_out = 1;
        const int rc = inflate(&o.zs, Z_SYNC_FLUSH);
        if (o.zs.avail_out == 0)
            return true;
        if (rc != Z_OK)
            return false;
    }
}

constexpr long kReadFailed = -1;
constexpr long kReadTooLong = -2;

// Delivers up to len bytes of the open entry; kReadFailed on a read or inflate
// error, including data that ends before the size the central directory
// promises, kReadTooLong for data that goes on beyond it.
long readEntryData(ArchiveReader &r, unsigned char *buf, size_t len)
{
    if (!r.open)
        return kReadFailed;
    OpenEntry &o = *r.open;
    const size_t want = len < o.uncLeft ? len : o.uncLeft;
    size_t got = 0;
    if (o.inflating) {
        o.zs.next_out = buf;
        o.zs.avail_out = uInt(want);
        while (o.zs.avail_out > 0) {
            if (o.zs.avail_in == 0 && o.compLeft > 0 && !refill(r, o))
                return kReadFailed;
            const int rc = inflate(&o.zs, Z_SYNC_FLUSH);
            if (rc == Z_STREAM_END) {
                o.ended = true;
                break;
            }
            if (rc == Z_BUF_ERROR && o.zs.avail_in == 0 && o.compLeft == 0)
                return kReadFailed;
            if (rc != Z_OK && rc != Z_BUF_ERROR)
                return kReadFailed;
        }
        got = want - o.zs.avail_out;
    } else {
        while (got < want) {
            if (o.inPos == o.inLen) {
                if (o.compLeft == 0)
                    return kReadFailed;
                if (!refill(r, o))
                    return kReadFailed;
            }
            size_t n = o.inLen - o.inPos;
            if (n > want - got)
                n = want - got;
            memcpy(buf + got, o.in + o.inPos, n);
            o.inPos += n;
            got += n;
        }
    }
    o.crc = uint32_t(crc32(o.crc, buf, uInt(got)));
    o.uncLeft -= uint32_t(got);
    if (o.uncLeft == 0 && o.inflating && !o.ended && runsOnPastSize(r, o))
        return kReadTooLong;
    if (o.uncLeft == 0)
        o.ended = true;
    else if (o.ended)
        return kReadFailed;
    return long(got);
}

// True when the entry was delivered in full and its CRC-32 matches.
bool closeEntryData(ArchiveReader &r)
{
    if (!r.open)
        return false;
    const bool good = r.open->uncLeft == 0 && r.open->crc == r.open->expectedCrc;
    r.open.reset();
    return good;
}

std::string currentFolder()
{
    char buf[4096];
    if (!getcwd(buf, sizeof buf))
        return std::string("./");
    return buf;
}

void setTimes(const std::string &path, int32_t atime, int32_t mtime)
{
#ifdef _WIN32
    struct _utimbuf t;
    t.actime = atime;
    t.modtime = mtime;
    _utime(path.c_str(), &t);
#else
    struct utimbuf t;
    t.actime = atime;
    t.modtime = mtime;
    utime(path.c_str(), &t);
#endif
}

bool isFileStream(FILE *f)
{
    struct stat st;
#ifdef _WIN32
    return fstat(_fileno(f), &st) == 0 && (st.st_mode & S_IFMT) == S_IFREG;
#else
    return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

ArchiveReader *readerOf(ZipHandle *handle, uint32_t *result)
{
    if (!handle) {
        *result = ZipArgs;
        return nullptr;
    }
    if (handle->kind != kKindReader || !handle->reader) {
        *result = ZipWrongMode;
        return nullptr;
    }
    *result = ZipOk;
    return handle->reader;
}

} // namespace

ZipHandle *openArchiveAt(const char *fileName, const char *password, const char *baseFolder)
{
    if (!fileName)
        return nullptr;
    auto r = std::make_unique<ArchiveReader>();
    if (password)
        r->password = password;
    r->base = baseFolder && *baseFolder ? std::string(baseFolder) : currentFolder();
    if (!isSeparator(r->base.back()))
        r->base += '/';

    r->file = fopen(fileName, "rb");
    if (!r->file)
        return nullptr;
    r->seekable = isFileStream(r->file);
    r->openPos = 0;
    if (!r->seekable || !findEndRecord(r->file, &r->endPos) || !readEndRecord(*r))
        return nullptr;
    goToFirst(*r);

    auto *handle = new ZipHandle;
    handle->reader = r.release();
    return handle;
}

ZipHandle *openArchive(const char *fileName, const char *password)
{
    return openArchiveAt(fileName, password, nullptr);
}

uint32_t getArchiveEntry(ZipHandle *handle, int index, ArchiveEntry *entry)
{
    if (!entry)
        return ZipArgs;
    *entry = ArchiveEntry();
    uint32_t result;
    ArchiveReader *r = readerOf(handle, &result);
    if (!r)
        return result;
    if (index < -1 || (index >= 0 && uint32_t(index) >= r->totalEntries))
        return ZipArgs;
    r->open.reset();
    if (index == -1) {
        entry->index = int(r->totalEntries);
        return ZipOk;
    }
    if (index == r->cachedIndex) {
        *entry = r->cached;
        return ZipOk;
    }
    ArchiveEntry filled;
    result = fillEntry(*r, uint32_t(index), filled);
    if (result != ZipOk)
        return result;
    *entry = filled;
    r->cached = filled;
    r->cachedIndex = index;
    return ZipOk;
}

uint32_t extractEntry(ZipHandle *handle, int index, const char *targetName)
{
    uint32_t result;
    ArchiveReader *r = readerOf(handle, &result);
    if (!r)
        return result;
    if (index < 0 || uint32_t(index) >= r->totalEntries || !targetName)
        return ZipArgs;
    r->open.reset();
    ArchiveEntry entry;
    result = fillEntry(*r, uint32_t(index), entry);
    if (result != ZipOk)
        return result;
    if (!staysInside(targetName))
        return ZipUnsafeName;

    std::string target(targetName);
#ifndef _WIN32
    // Archives made on Windows separate folders with backslashes.
    for (char &c : target)
        if (c == '\\')
            c = '/';
#endif
    const size_t slash = target.find_last_of("/\\");
    const std::string folderPart = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string filePart = slash == std::string::npos ? target : target.substr(slash + 1);

    // A name ending in a slash is a folder even when a writer forgot to mark
    // it so, as long as it carries no data.
    if ((entry.attr & kFolderMask) == kFolderMode || (filePart.empty() && entry.uncSize == 0)) {
        makeFolders(r->base, target);
        return isFolder(r->base + target) ? ZipOk : ZipNoFile;
    }
    if (filePart.empty())
        return ZipNoFile;

    makeFolders(r->base, folderPart);
    const std::string path = r->base + target;
    FILE *out = fopen(path.c_str(), "wb");
    if (!out)
        return ZipNoFile;
    if (!r->outBuffer)
        r->outBuffer.reset(new unsigned char[kBufferSize]);

    result = openEntryData(*r);
    while (result == ZipOk) {
        const long n = readEntryData(*r, r->outBuffer.get(), kBufferSize);
        if (n < 0) {
            result = n == kReadTooLong ? ZipTooLong : ZipInflateFailed;
            break;
        }
        if (n > 0 && fwrite(r->outBuffer.get(), 1, size_t(n), out) != size_t(n)) {
            result = ZipWriteFailed;
            break;
        }
        if (r->open->ended)
            break;
        if (n == 0) {
            result = ZipInflateFailed;
            break;
        }
    }
    if (result == ZipOk && !closeEntryData(*r))
        result = ZipCrcMismatch;
    r->open.reset();
    if (fclose(out) != 0 && result == ZipOk)
        result = ZipWriteFailed;
    // Damaged data must not be left looking like an extracted file. The
    // caller tells a full disk from other failures by errno.
    if (result != ZipOk) {
        const int writeError = errno;
        remove(path.c_str());
        errno = writeError;
        return result;
    }
    setTimes(path, entry.atime, entry.mtime);
    return ZipOk;
}

uint32_t closeArchive(ZipHandle *handle)
{
    uint32_t result;
    ArchiveReader *r = readerOf(handle, &result);
    if (!r)
        return result;
    delete r;
    handle->reader = nullptr;
    handle->kind = 0;
    delete handle;
    return ZipOk;
}
