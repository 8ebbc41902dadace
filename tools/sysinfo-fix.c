/* Preloaded into 32-bit Linux processes that run under qemu-user (32-bit
 * Wine). qemu copies the kernel's struct sysinfo into a 32-bit program by
 * truncating each 64-bit count to 32 bits, so a machine with more than 4 GiB
 * reports its memory modulo 4 GiB. This answers sysinfo() from the kernel as
 * usual and then replaces the memory counts with the figures of /proc/meminfo
 * in kB units, which fit 32 bits up to 4 TiB. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

static unsigned long field(const char *text, const char *name)
{
    const char *p = strstr(text, name);
    return p ? strtoul(p + strlen(name), NULL, 10) : 0;
}

int sysinfo(struct sysinfo *info)
{
    if (syscall(SYS_sysinfo, info) != 0)
        return -1;
    int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[4096];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    info->mem_unit = 1024;
    info->totalram = field(text, "MemTotal:");
    info->freeram = field(text, "MemFree:");
    info->sharedram = field(text, "Shmem:");
    info->bufferram = field(text, "Buffers:");
    info->totalswap = field(text, "SwapTotal:");
    info->freeswap = field(text, "SwapFree:");
    info->totalhigh = 0;
    info->freehigh = 0;
    return 0;
}
