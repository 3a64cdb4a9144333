// libFuzzer target for the ZIP reader: every input is opened as an archive,
// walked the way the updater walks it and extracted below a base folder that
// sits alone in a jail folder. Anything appearing in the jail beside the base
// is an escape and aborts the run.

#include "zipreader.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string root, archive, jail, base;

int removeOne(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

void emptyJail()
{
    nftw(jail.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
    mkdir(jail.c_str(), 0700);
    mkdir(base.c_str(), 0700);
}

void removeAll()
{
    nftw(root.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
}

void checkJail()
{
    DIR *d = opendir(jail.c_str());
    if (!d)
        abort();
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && strcmp(e->d_name, "base")) {
            fprintf(stderr, "escaped the base folder: %s\n", e->d_name);
            abort();
        }
    }
    closedir(d);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char templ[] = "/tmp/zipreader_fuzz.XXXXXX";
    if (!mkdtemp(templ))
        abort();
    root = templ;
    archive = root + "/input.zip";
    jail = root + "/jail";
    base = jail + "/base";
    atexit(removeAll);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen(archive.c_str(), "wb");
    if (!f || fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);
    emptyJail();

    // The password lets the fuzzer reach encrypted data past the check byte.
    ZipHandle *h = openArchiveAt(archive.c_str(), "pw", base.c_str());
    ArchiveEntry entry;
    getArchiveEntry(h, -1, &entry);
    const int count = entry.index;
    for (int i = 0; i < count; ++i) {
        getArchiveEntry(h, i, &entry);
        extractEntry(h, i, entry.name);
    }
    // Backwards, the walk restarts from the first entry each time.
    if (count > 1)
        extractEntry(h, 0, "again");
    if (h && closeArchive(h) != ZipOk)
        abort();
    checkJail();
    return 0;
}
