// Colour conversion and binarisation of image blocks: colour to gray (weighted
// sum or one channel), gray to line art (fixed threshold) and gray to halftone
// (8 x 8 ordered-dither matrices). Pure routines: no allocation, no state.
#pragma once

// Six 8 x 8 threshold matrices, pattern by pattern, row by row: the threshold
// of pattern p (1..6), row r, column c is halftone[((p - 1) * 8 + r) * 8 + c].
extern const unsigned char halftone[384];

// Writes gray = (3R + 6G + B) / 10 per pixel, ceil(srcBytesPerLine / 3) bytes a
// line, lines packed without gaps. channels and dstBytesPerLine are not read.
// Returns lines.
unsigned int ColortoGray(const unsigned char *src, unsigned char *dst, unsigned int channels,
                         unsigned int srcBytesPerLine, unsigned int dstBytesPerLine, unsigned int lines);

// As ColortoGray, the gray value being the red (colorFilter 1), green (2) or
// blue (3) byte; any other colorFilter gives 0 (black). Returns lines.
unsigned int ColortoOneChannelGray(const unsigned char *src, unsigned char *dst, unsigned int channels,
                                   unsigned int srcBytesPerLine, unsigned int dstBytesPerLine,
                                   unsigned int lines, unsigned char colorFilter);

// One bit per pixel, most significant bit first, 1 (black) where the gray byte
// is below threshold. dstBytesPerLine * 8 pixels a line.
void GrayToLineart(const unsigned char *src, unsigned char *dst, unsigned int dstBytesPerLine,
                   unsigned char threshold, unsigned int srcBytesPerLine, unsigned int lines);

// One bit per pixel against the threshold matrix of pattern (1..6), with the
// matrix row following the line number within the call. threshold is not read.
void TransferGrayToHalftone(const unsigned char *src, unsigned char *dst, unsigned int dstBytesPerLine,
                            unsigned char threshold, unsigned int pixelsPerLine, unsigned int lines,
                            int pattern);
