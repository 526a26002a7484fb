// CTiffIo strip decoders.
#include "ITiffIO.h"

int CTiffIo::DecodePackBitsRow(unsigned char*, uint32_t) { return 1; }
int CTiffIo::DecodeHuffmanRow(unsigned char*, uint32_t) { return 1; }
uint32_t CTiffIo::ReadLzwCode(int) { return 0; }
int CTiffIo::UnpackSamples(const unsigned char*, unsigned char*) { return 1; }
bool CTiffIo::StoredRowLength(uint32_t*) const { return false; }
