#pragma once

// The output speed the host last set on a tty, in bits per second, or -1.
// Reads the kernel's numeric speed, so rates without a Bnnn constant (set
// through BOTHER) come back too.
int ptyLineSpeed(int fd);
