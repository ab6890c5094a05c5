// 3x3 filters over 24-bit colour blocks. Each filter keeps the last two lines
// of the previous block and delivers every block one line late, in place: on
// return, line i of buf holds the filtered source line before it in the scan.
// A call with a null buf ends the scan's state. All four share one frame
// (see filter.cpp) and differ in the rule applied per byte. Each filter's
// state is process-wide and unlocked: one caller thread at a time.
#pragma once

// Re-registers the colour channels vertically: red (up + 6 mid + low) / 8,
// green (up + mid) / 2, blue (5 up + 3 mid) / 8. kernel is not read.
unsigned short ColorPack_Filter3x3(unsigned char *buf, unsigned short width, unsigned short totalLines,
                                   unsigned short lines, unsigned char bitsPerPixel, const char *kernel,
                                   short kernelSize);

// Turns pixels whose vertical channel means lie within 15 of each other into
// the centre pixel's gray. kernel is not read.
unsigned short Denoise_Filter_GraySemiGrayPixels_3x3(unsigned char *buf, unsigned short width,
                                                     unsigned short totalLines, unsigned short lines,
                                                     unsigned char bitsPerPixel, const char *kernel,
                                                     short kernelSize);

// Applies the nine signed coefficients of kernel to the pixels whose three
// bytes are equal; other pixels pass unchanged.
unsigned short Filter_SharpenGrayPixels_3x3(unsigned char *buf, unsigned short width,
                                            unsigned short totalLines, unsigned short lines,
                                            unsigned char bitsPerPixel, const char *kernel, short kernelSize);

// Tone curves on reddish pixels (red above 110): green and blue when red
// exceeds both, red when red exceeds green and equals blue. kernel is not read.
unsigned short Filter_ShadowHighlight_3x3(unsigned char *buf, unsigned short width, unsigned short totalLines,
                                          unsigned short lines, unsigned char bitsPerPixel,
                                          const char *kernel, short kernelSize);
