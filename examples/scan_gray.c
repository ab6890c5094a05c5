/* scan_gray: the smallest complete front end of libdocscan.
 *
 * Finds the scanner, prints its identity and scans a gray page (150 dpi,
 * 100 x 100 mm from the top left corner) into a PGM file:
 *
 *     scan_gray page.pgm
 *
 * Without a scanner, try the virtual scanner: name its module and run under
 * the umockdev preload, e.g.
 *
 *     DOCSCAN_VIRTUAL_MODULE=/usr/lib/x86_64-linux-gnu/docscan/libdocscan-virtual.so \
 *     LD_PRELOAD=libumockdev-preload.so.0 scan_gray page.pgm
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <docscan/scanner.h>

#define RESOLUTION          150u
#define AREA_UNITS_PER_INCH 300u /* the area of tagScanParameter is in 1/300 inch */
#define AREA_MM             100u

/* Options of the virtual scanner module's docscan_virtual_start; all zero:
 * the test chart on the glass, no button presses, no memory file. */
struct virtual_options {
    const char *paper;
    const unsigned *button_codes;
    size_t button_count;
    const char *nvm_file;
};

/* Starts the virtual scanner when $DOCSCAN_VIRTUAL_MODULE names its module. */
static int start_virtual_scanner(void)
{
    typedef void *(*start_fn)(const struct virtual_options *options, char *error, size_t error_size);
    static const struct virtual_options options = {NULL, NULL, 0, NULL};
    const char *module = getenv("DOCSCAN_VIRTUAL_MODULE");
    char error[256] = "";
    if (module == NULL || *module == '\0') return 1;
    void *handle = dlopen(module, RTLD_NOW | RTLD_LOCAL);
    start_fn start = handle != NULL ? (start_fn)(size_t)dlsym(handle, "docscan_virtual_start") : NULL;
    if (start == NULL || start(&options, error, sizeof error) == NULL) {
        fprintf(stderr, "scan_gray: no virtual scanner: %s\n", handle == NULL ? dlerror() : error);
        return 0;
    }
    return 1;
}

static int fail(const char *call)
{
    uint64_t status = 0;
    GetLastStatusCode(NULL, &status);
    fprintf(stderr, "scan_gray: %s failed, status code %llu\n", call, (unsigned long long)status);
    TerminateDriver();
    return 1;
}

int main(int argc, char **argv)
{
    SCANNERABILITYEX ability;
    tagScanParameter parameter;
    unsigned width, lines, boundary, row;
    unsigned char *line;
    FILE *out;

    if (argc != 2) {
        fprintf(stderr, "usage: scan_gray OUTPUT.pgm\n");
        return 2;
    }
    if (!start_virtual_scanner()) return 1;

    /* Find the scanner and read what it can do. */
    if (!InitializeDriver()) return fail("InitializeDriver");
    if (!InitializeScanner()) return fail("InitializeScanner");
    if (!GetScannerAbilityEx(&ability)) return fail("GetScannerAbilityEx");
    printf("scanner: %.12s %.16s %.4s\n", ability.VendorName, ability.ProductName, ability.Revision);

    /* A gray page: the pixel count must be a multiple of the scanner's boundary. */
    boundary = ability.BoundaryGray != 0 ? ability.BoundaryGray : 1;
    width = AREA_MM * AREA_UNITS_PER_INCH * 10u / 254u;
    lines = width * RESOLUTION / AREA_UNITS_PER_INCH;
    memset(&parameter, 0, sizeof parameter);
    parameter.Width = (uint16_t)width;
    parameter.Length = (uint16_t)width;
    parameter.PixelNum = (uint16_t)(width * RESOLUTION / AREA_UNITS_PER_INCH / boundary * boundary);
    parameter.LineNum = (uint16_t)lines;
    parameter.ScanMode = DOCSCAN_MODE_GRAY; /* 8 bits a pixel */
    parameter.BitPerPixel = 8;
    parameter.XRes = RESOLUTION;
    parameter.YRes = RESOLUTION;
    if (!SetScanParameter(&parameter)) return fail("SetScanParameter");

    out = fopen(argv[1], "wb");
    line = malloc(parameter.PixelNum);
    if (out == NULL || line == NULL) {
        perror(argv[1]);
        TerminateDriver();
        return 1;
    }
    fprintf(out, "P5\n%u %u\n255\n", (unsigned)parameter.PixelNum, lines);

    /* Read the page line by line; StopScan is due whatever StartScan said. */
    int ok = StartScan();
    for (row = 0; ok && row < lines; ++row) {
        ok = ReadScan(0, line, parameter.PixelNum) &&
             fwrite(line, 1, parameter.PixelNum, out) == parameter.PixelNum;
    }
    if (!StopScan()) ok = 0;
    free(line);
    if (fclose(out) != 0 || !ok) return fail("the scan");

    printf("wrote %s: %u x %u pixels at %u dpi\n", argv[1], (unsigned)parameter.PixelNum, lines, RESOLUTION);
    return TerminateDriver() ? 0 : 1;
}
