/* A small SANE front end, through libsane and its dll backend, for what
 * scanimage does not exercise: reads of one byte, cancel from a signal
 * handler and from a second thread, restart after cancel and after the end of
 * a page, a second open, the select descriptor with non-blocking reads, the
 * SANE_INFO_* answers of option changes, and the button sensors.
 *
 * The umockdev preload is linked into this program; the test writes its own
 * SANE configuration (virtual scanner, buttons 1 and 3 pressed) and needs
 * LD_LIBRARY_PATH to name the folders of libsane-docscan.so.1 and
 * libdocscan.so.1. */
#define _GNU_SOURCE
#include <pthread.h>
#include <sane/sane.h>
#include <sane/saneopts.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

static int failures = 0;

/* Counts a failure: `got` is not the status `want` or, for a plain check
 * (`want` -1), `got` is 0. */
static void check(int line, int got, int want, const char *what)
{
    if (want == -1 ? got != 0 : got == want) return;
    if (want == -1) fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, line, what);
    if (want != -1)
        fprintf(stderr, "%s:%d: %s gave %s, not %s\n", __FILE__, line, what, sane_strstatus((SANE_Status)got),
                sane_strstatus((SANE_Status)want));
    ++failures;
}
#define CHECK(cond)              check(__LINE__, (cond) != 0, -1, #cond)
#define CHECK_STATUS(call, want) check(__LINE__, (int)(call), (int)(want), #call)

static SANE_Handle h;

static int find_option(const char *name)
{
    const SANE_Option_Descriptor *d;
    for (int i = 1; (d = sane_get_option_descriptor(h, i)) != NULL; ++i) {
        if (d->name != NULL && strcmp(d->name, name) == 0) return i;
    }
    fprintf(stderr, "no option %s\n", name);
    exit(1);
}

#define GOOD     SANE_STATUS_GOOD
#define INVAL    SANE_STATUS_INVAL
#define ANY_INFO (-1)

/* Sets option `name` to `text` when that is not NULL, else to `word`; checks
 * the status and, unless `want_info` is ANY_INFO, the SANE_INFO_* bits. */
static void set_at(int line, const char *name, SANE_Word word, const char *text, SANE_Status want,
                   SANE_Int want_info)
{
    char buffer[64], what[128];
    SANE_Int info = ANY_INFO;
    if (text != NULL) snprintf(buffer, sizeof buffer, "%s", text);
    void *value = text != NULL ? (void *)buffer : (void *)&word;
    snprintf(what, sizeof what, "setting %s", name);
    check(line, sane_control_option(h, find_option(name), SANE_ACTION_SET_VALUE, value, &info), want, what);
    snprintf(what, sizeof what, "setting %s: info %d, not %d", name, info, want_info);
    if (want_info != ANY_INFO) check(line, info == want_info, -1, what);
}
#define SET(name, word, want, info)      set_at(__LINE__, name, word, NULL, want, info)
#define SET_TEXT(name, text, want, info) set_at(__LINE__, name, 0, text, want, info)

static SANE_Word get_word(const char *name)
{
    SANE_Word value = -1;
    CHECK_STATUS(sane_control_option(h, find_option(name), SANE_ACTION_GET_VALUE, &value, NULL), GOOD);
    return value;
}

/* Mode, resolution and area in mm of the next scan. */
static void area(const char *mode, SANE_Word dpi, double tl_x, double tl_y, double br_x, double br_y)
{
    SET_TEXT(SANE_NAME_SCAN_MODE, mode, GOOD, ANY_INFO);
    SET(SANE_NAME_SCAN_RESOLUTION, dpi, GOOD, ANY_INFO);
    SET(SANE_NAME_SCAN_TL_X, SANE_FIX(tl_x), GOOD, ANY_INFO);
    SET(SANE_NAME_SCAN_TL_Y, SANE_FIX(tl_y), GOOD, ANY_INFO);
    SET(SANE_NAME_SCAN_BR_X, SANE_FIX(br_x), GOOD, ANY_INFO);
    SET(SANE_NAME_SCAN_BR_Y, SANE_FIX(br_y), GOOD, ANY_INFO);
}

/* 25.4 x 12.7 mm at 100 dpi: 100 x 50 pixels. */
static void small_area(const char *mode) { area(mode, 100, 10, 10, 35.4, 22.7); }

/* Whether `fd` becomes readable within 10 s; always, for -1 (blocking reads). */
static int readable(int fd)
{
    fd_set set;
    FD_ZERO(&set);
    if (fd >= 0) FD_SET(fd, &set);
    struct timeval limit = {10, 0};
    return fd < 0 || select(fd + 1, &set, NULL, NULL, &limit) == 1;
}

/* Reads the page to its end in pieces of `piece` bytes, waiting on `fd`
 * before each read; returns the bytes (malloc'ed) and their count, and checks
 * that the end is SANE_STATUS_EOF. */
static unsigned char *read_page(int piece, int fd, size_t *total)
{
    size_t size = 0, capacity = 1 << 16;
    unsigned char *page = malloc(capacity);
    SANE_Status status = SANE_STATUS_IO_ERROR;
    SANE_Int got;
    unsigned char buffer[1 << 15];
    while (readable(fd) && (status = sane_read(h, buffer, piece, &got)) == GOOD) {
        CHECK(got >= 0 && got <= piece);
        if (size + (size_t)got > capacity) page = realloc(page, capacity *= 2);
        memcpy(page + size, buffer, (size_t)got);
        size += (size_t)got;
    }
    CHECK_STATUS(status, SANE_STATUS_EOF);
    *total = size;
    return page;
}

static void test_options(void)
{
    SET_TEXT(SANE_NAME_SCAN_MODE, "Gray", GOOD, SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS);
    SET_TEXT(SANE_NAME_SCAN_MODE, "Gray", GOOD, 0);
    SET_TEXT(SANE_NAME_SCAN_MODE, "Lineart", GOOD,
             SANE_INFO_RELOAD_PARAMS); /* the same options stay active */
    SET_TEXT(SANE_NAME_SCAN_MODE, "Gray", GOOD, ANY_INFO);
    SET_TEXT(SANE_NAME_SCAN_MODE, "Sepia", INVAL, ANY_INFO);
    /* Out of range: clamped, and said so. */
    SET(SANE_NAME_SCAN_RESOLUTION, 1200, GOOD, SANE_INFO_INEXACT | SANE_INFO_RELOAD_PARAMS);
    CHECK(get_word(SANE_NAME_SCAN_RESOLUTION) == 600);
    SET(SANE_NAME_SCAN_TL_X, SANE_FIX(-5), GOOD, SANE_INFO_INEXACT);
    CHECK(get_word(SANE_NAME_SCAN_TL_X) == 0);
    SET(SANE_NAME_PREVIEW, 2, INVAL, ANY_INFO);
    SET(SANE_NAME_PREVIEW, SANE_TRUE, GOOD, SANE_INFO_RELOAD_PARAMS); /* a preview scans at 75 dpi */
    SET(SANE_NAME_SCAN_RESOLUTION, 100, GOOD, 0);
    SET(SANE_NAME_PREVIEW, SANE_FALSE, GOOD, ANY_INFO);
    /* Inactive options refuse a value: the pattern outside Halftone, the
     * drop-out in Color, the gamma table without custom gamma. */
    SET(SANE_NAME_HALFTONE_PATTERN, 2, INVAL, ANY_INFO);
    SET_TEXT(SANE_NAME_SCAN_MODE, "Halftone", GOOD, ANY_INFO);
    SET(SANE_NAME_HALFTONE_PATTERN, 9, GOOD, SANE_INFO_INEXACT);
    CHECK(get_word(SANE_NAME_HALFTONE_PATTERN) == 6);
    SET_TEXT(SANE_NAME_SCAN_MODE, "Color", GOOD, ANY_INFO);
    SET_TEXT("dropout", "Red", INVAL, ANY_INFO);
    SANE_Word table[256];
    for (int i = 0; i < 256; ++i) table[i] = 255 - i;
    table[7] = 300;
    const int gamma = find_option(SANE_NAME_GAMMA_VECTOR);
    CHECK_STATUS(sane_control_option(h, gamma, SANE_ACTION_SET_VALUE, table, NULL), INVAL);
    SET(SANE_NAME_CUSTOM_GAMMA, SANE_TRUE, GOOD, SANE_INFO_RELOAD_OPTIONS);
    SANE_Int info = -1;
    CHECK_STATUS(sane_control_option(h, gamma, SANE_ACTION_SET_VALUE, table, &info), GOOD);
    CHECK(info == SANE_INFO_INEXACT && table[7] == 255);
    SET(SANE_NAME_CUSTOM_GAMMA, SANE_FALSE, GOOD, ANY_INFO);
    /* Sensors are read-only. */
    SET("button-1", SANE_TRUE, INVAL, ANY_INFO);
}

static void test_reads(void)
{
    SANE_Parameters before, during;
    /* An empty area: no pixels, and no scan. */
    small_area("Gray");
    SET(SANE_NAME_SCAN_BR_X, SANE_FIX(10), GOOD, ANY_INFO);
    CHECK_STATUS(sane_get_parameters(h, &before), GOOD);
    CHECK(before.format == SANE_FRAME_GRAY && before.pixels_per_line == 0 && before.lines == 0);
    CHECK_STATUS(sane_start(h), INVAL);
    small_area("Lineart");
    CHECK_STATUS(sane_get_parameters(h, &before), GOOD);
    CHECK(before.format == SANE_FRAME_GRAY && before.depth == 1 && before.pixels_per_line == 96 &&
          before.bytes_per_line == 12 && before.lines == 50 && before.last_frame);
    small_area("Gray");
    CHECK_STATUS(sane_get_parameters(h, &before), GOOD);
    CHECK_STATUS(sane_start(h), GOOD);
    CHECK_STATUS(sane_get_parameters(h, &during), GOOD);
    CHECK(memcmp(&before, &during, sizeof before) == 0);
    CHECK(during.depth == 8 && during.pixels_per_line == 100 && during.bytes_per_line == 100 &&
          during.lines == 50);
    size_t bytewise_size, bulk_size;
    unsigned char *bytewise = read_page(1, -1, &bytewise_size);
    /* After the end of the page the next start scans the next page. */
    CHECK_STATUS(sane_start(h), GOOD);
    unsigned char *bulk = read_page(32768, -1, &bulk_size);
    CHECK(bytewise_size == 5000 && bulk_size == 5000 && memcmp(bytewise, bulk, 5000) == 0);
    free(bytewise);
    free(bulk);
    sane_cancel(h);

    /* Non-blocking reads, waiting on the select descriptor. */
    CHECK_STATUS(sane_set_io_mode(h, SANE_TRUE), INVAL); /* not before a start */
    CHECK_STATUS(sane_start(h), GOOD);
    CHECK_STATUS(sane_set_io_mode(h, SANE_TRUE), GOOD);
    SANE_Int fd = -1;
    CHECK_STATUS(sane_get_select_fd(h, &fd), GOOD);
    size_t total;
    free(read_page(777, fd, &total));
    CHECK(total == 5000);
    sane_cancel(h);
}

static void *cancel_later(void *arg)
{
    (void)arg;
    usleep(20000);
    sane_cancel(h);
    return NULL;
}

static void on_alarm(int signal)
{
    (void)signal;
    sane_cancel(h);
}

/* A full colour page at 600 dpi, cancelled after 20 ms by `how` (0 a second
 * thread, 1 a signal handler): sane_read says CANCELLED, and again on the
 * next call; a new start then delivers a whole small page. */
static void test_cancel(int how)
{
    area("Color", 600, 0, 0, 1000, 297);
    SANE_Parameters p;
    CHECK_STATUS(sane_start(h), GOOD);
    CHECK_STATUS(sane_get_parameters(h, &p), GOOD);
    pthread_t thread;
    if (how == 0) {
        pthread_create(&thread, NULL, cancel_later, NULL);
    } else {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = on_alarm;
        sigaction(SIGALRM, &action, NULL);
        struct itimerval timer = {{0, 0}, {0, 20000}};
        setitimer(ITIMER_REAL, &timer, NULL);
    }
    SANE_Status status;
    SANE_Int got;
    size_t total = 0;
    static unsigned char buffer[4096]; /* small reads: the page outlasts 20 ms */
    while ((status = sane_read(h, buffer, sizeof buffer, &got)) == GOOD) total += (size_t)got;
    if (how == 0) pthread_join(thread, NULL);
    CHECK_STATUS(status, SANE_STATUS_CANCELLED);
    CHECK(total < (size_t)p.bytes_per_line * (size_t)p.lines);
    CHECK_STATUS(sane_read(h, buffer, sizeof buffer, &got), SANE_STATUS_CANCELLED);
    small_area("Gray");
    CHECK_STATUS(sane_start(h), GOOD);
    size_t size;
    free(read_page(4096, -1, &size));
    CHECK(size == 5000);
    sane_cancel(h);
}

/* Buttons 1 and 3 were pressed once each when the virtual scanner started:
 * each press is seen once, however often the sensors are read. */
static void test_buttons(void)
{
    const char *names[3] = {"button-1", "button-2", "button-3"};
    int presses[3] = {0, 0, 0};
    for (int read = 0; read < 15; ++read) presses[read % 3] += get_word(names[read % 3]);
    CHECK(presses[0] == 1 && presses[1] == 0 && presses[2] == 1);
}

int main(void)
{
    char dir[] = "/tmp/docscan-sane-XXXXXX";
    if (mkdtemp(dir) == NULL) return 1;
    char dll[64], conf[64];
    snprintf(dll, sizeof dll, "%s/dll.conf", dir);
    snprintf(conf, sizeof conf, "%s/docscan.conf", dir);
    FILE *f = fopen(dll, "w");
    fputs("docscan\n", f);
    fclose(f);
    f = fopen(conf, "w");
    fputs("virtual\nvirtual-press 1,3\n", f);
    fclose(f);
    setenv("SANE_CONFIG_DIR", dir, 1);

    SANE_Int version;
    CHECK_STATUS(sane_init(&version, NULL), GOOD);
    const SANE_Device **devices;
    CHECK_STATUS(sane_get_devices(&devices, SANE_TRUE), GOOD);
    int listed = 0;
    for (int i = 0; devices[i] != NULL; ++i) listed += strcmp(devices[i]->name, "docscan:virtual") == 0;
    CHECK(listed == 1);
    CHECK_STATUS(sane_open("docscan:virtual", &h), GOOD);
    if (failures != 0) return 1;
    SANE_Handle second;
    CHECK_STATUS(sane_open("docscan:virtual", &second), SANE_STATUS_DEVICE_BUSY);

    test_buttons();
    test_options();
    test_reads();
    test_cancel(0);
    test_cancel(1);

    /* Closing and leaving with a scan running stop it cleanly. */
    CHECK_STATUS(sane_start(h), GOOD);
    sane_close(h);
    CHECK_STATUS(sane_open("docscan:virtual", &h), GOOD);
    CHECK_STATUS(sane_start(h), GOOD);
    sane_exit();

    unlink(dll);
    unlink(conf);
    rmdir(dir);
    if (failures != 0) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
