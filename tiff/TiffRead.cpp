// CTiffIo previews and full-resolution reads.
#include "ITiffIO.h"

int CTiffIo::MakeDib(int32_t*, int32_t*, unsigned char**) { ImageFree(&m_pPalette); return 0; }
int CTiffIo::ReadPreviewRows(unsigned char* const*) { return 0; }
int CTiffIo::ReadFullImage() { return 0; }
int CTiffIo::DecodeLzwStrips(unsigned char* const*) { return 0; }
