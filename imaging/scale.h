// Resampling of image blocks with state carried from block to block: area
// averaging for strong reductions of 24-bit colour, bilinear interpolation
// otherwise. Each routine keeps its own carry buffer and line counters from
// the first call of a scan to the reset call (null src), which releases them.
// The state is process-wide and unlocked: one caller thread at a time.
#pragma once

// Resamples srcLines lines of srcPixels pixels into dst (dstPixels pixels a
// line) and returns the number of lines written. Both ratios are output per
// source unit; bitsPerPixel / 8 bytes a pixel (1 below 8 bits), each byte
// resampled on its own. Area averaging when bitsPerPixel is 24 and both
// ratios are below 0.5. A block that carries no lines loses its last
// floor(yRatio) output lines. dst must hold the returned number of lines.
unsigned int ScaleProcess(const unsigned char *src, unsigned int srcPixels, unsigned int srcLines,
                          unsigned char *dst, unsigned int dstPixels, double xRatio, double yRatio,
                          unsigned short bitsPerPixel);

// As ScaleProcess, with area averaging below 1.0, and a block that carries no
// lines makes all its output lines, the last one interpolating towards the row
// above.
unsigned int ScaleProcessEx(const unsigned char *src, unsigned int srcPixels, unsigned int srcLines,
                            unsigned char *dst, unsigned int dstPixels, double xRatio, double yRatio,
                            unsigned short bitsPerPixel);
