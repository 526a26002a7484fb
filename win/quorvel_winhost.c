/*
 * quorvel_winhost: a minimal host of the library.
 *   get FILE MODE HOSTDIR [OUT.bgr]   prints {"ok":…,"ret":…,"w_in":…,"h_in":…,"pw":…,"ph":…}
 *                                     and writes the preview block as it is held (bottom row first)
 *   convert SRC DST COLOUR            prints {"ok":…,"ret":…}
 *   batch                             runs such commands, one a line on standard
 *                                     input with tab-separated words, in one process
 * On Windows it loads quorvel.dll from its own folder and calls the decorated
 * standard-call exports; built for Linux it calls the library directly, so
 * both print the same lines for the same calls.
 */
#include "quorvel.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int(QUORVEL_CALL *GetFn)(const char *, ImageSummary *, int32_t, const char *);
typedef int(QUORVEL_CALL *ConvertFn)(const char *, const char *, uint32_t);

static GetFn g_get;
static ConvertFn g_convert;

static int Load(void)
{
#if defined(_WIN32)
    char path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    HMODULE dll;
    char *slash;
    if (n == 0 || n >= MAX_PATH)
        return 0;
    path[n] = '\0';
    slash = strrchr(path, '\\');
    strcpy(slash != NULL ? slash + 1 : path, "quorvel.dll");
    dll = LoadLibraryA(path);
    if (dll == NULL)
        return 0;
    g_get = (GetFn)(void (*)(void))GetProcAddress(dll, "_GetQuorvel@16");
    g_convert = (ConvertFn)(void (*)(void))GetProcAddress(dll, "_ConvertBWTiff@12");
#else
    g_get = GetQuorvel;
    g_convert = ConvertBWTiff;
#endif
    return g_get != NULL && g_convert != NULL;
}

/* The block's base word, released as the host of the DLL must. */
static void Release(unsigned char *bits)
{
    void *base;
    if (bits == NULL)
        return;
    memcpy(&base, bits - sizeof(void *), sizeof base);
#if defined(_WIN32)
    GlobalFree((HGLOBAL)base);
#else
    free(base);
#endif
}

static int Run(int argc, char **argv)
{
    if (argc >= 5 && strcmp(argv[1], "get") == 0) {
        ImageSummary s;
        int ret;
        memset(&s, 0xA5, sizeof s);
        ret = g_get(argv[2], &s, atoi(argv[3]), argv[4]);
        printf("{\"ok\":%d,\"ret\":%d,\"w_in\":%.9g,\"h_in\":%.9g,\"pw\":%d,\"ph\":%d}\n", ret == 1, ret,
               (double)s.fWidthInches, (double)s.fHeightInches, (int)s.nPreviewWidth, (int)s.nPreviewHeight);
        if (argc >= 6 && s.pPreviewBits != NULL) {
            FILE *out = fopen(argv[5], "wb");
            size_t stride = ((size_t)s.nPreviewWidth * 3 + 3) & ~(size_t)3;
            size_t bytes = stride * (size_t)s.nPreviewHeight;
            if (out == NULL || fwrite(s.pPreviewBits, 1, bytes, out) != bytes || fclose(out) != 0) {
                Release(s.pPreviewBits);
                return 1;
            }
        }
        Release(s.pPreviewBits);
        return 0;
    }
    if (argc >= 5 && strcmp(argv[1], "convert") == 0) {
        int ret = g_convert(argv[2], argv[3], (uint32_t)strtoul(argv[4], NULL, 0));
        printf("{\"ok\":%d,\"ret\":%d}\n", ret == 1, ret);
        return 0;
    }
    fprintf(stderr, "usage: quorvel_winhost get FILE MODE HOSTDIR [OUT.bgr] | convert SRC DST COLOUR | batch\n");
    return 2;
}

int main(int argc, char **argv)
{
    static char line[4096];
    if (!Load()) {
        fprintf(stderr, "quorvel_winhost: cannot load the library\n");
        return 2;
    }
    if (argc != 2 || strcmp(argv[1], "batch") != 0)
        return Run(argc, argv);
    while (fgets(line, sizeof line, stdin) != NULL) {
        char *words[8];
        int n = 1;
        char *p = strtok(line, "\t\r\n");
        words[0] = argv[0];
        while (p != NULL && n < 8) {
            words[n++] = p;
            p = strtok(NULL, "\t\r\n");
        }
        if (Run(n, words) != 0)
            printf("{\"ok\":0,\"ret\":-1}\n");
        fflush(stdout);
    }
    return 0;
}
