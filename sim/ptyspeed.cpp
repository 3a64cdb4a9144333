#include "ptyspeed.h"

// The kernel's termios2 and <termios.h> cannot share a translation unit.
#include <asm/termbits.h>
#include <sys/ioctl.h>

int ptyLineSpeed(int fd)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    return int(t.c_ospeed);
}
