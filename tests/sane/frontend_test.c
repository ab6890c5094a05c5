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

#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                         \
            ++failures;                                                                                      \
        }                                                                                                    \
    } while (0)
#define CHECK_STATUS(call, want)                                                                             \
    do {                                                                                                     \
        SANE_Status got_ = (call);                                                                           \
        if (got_ != (want)) {                                                                                \
            fprintf(stderr, "%s:%d: %s gave %s, not %s\n", __FILE__, __LINE__, #call, sane_strstatus(got_),  \
                    sane_strstatus(want));                                                                   \
            ++failures;                                                                                      \
        }                                                                                                    \
    } while (0)

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

/* Sets an option; returns its status and leaves the info bits in *info. */
static SANE_Status set_word(const char *name, SANE_Word value, SANE_Int *info)
{
    return sane_control_option(h, find_option(name), SANE_ACTION_SET_VALUE, &value, info);
}

static SANE_Status set_string(const char *name, const char *value, SANE_Int *info)
{
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%s", value);
    return sane_control_option(h, find_option(name), SANE_ACTION_SET_VALUE, buffer, info);
}

static SANE_Word get_word(const char *name)
{
    SANE_Word value = -1;
    CHECK_STATUS(sane_control_option(h, find_option(name), SANE_ACTION_GET_VALUE, &value, NULL),
                 SANE_STATUS_GOOD);
    return value;
}

/* A gray 100 dpi scan of 25.4 x 12.7 mm: 100 x 50 pixels. */
static void small_area(const char *mode)
{
    CHECK_STATUS(set_string(SANE_NAME_SCAN_MODE, mode, NULL), SANE_STATUS_GOOD);
    CHECK_STATUS(set_word(SANE_NAME_SCAN_RESOLUTION, 100, NULL), SANE_STATUS_GOOD);
    CHECK_STATUS(set_word(SANE_NAME_SCAN_TL_X, SANE_FIX(10), NULL), SANE_STATUS_GOOD);
    CHECK_STATUS(set_word(SANE_NAME_SCAN_TL_Y, SANE_FIX(10), NULL), SANE_STATUS_GOOD);
    CHECK_STATUS(set_word(SANE_NAME_SCAN_BR_X, SANE_FIX(35.4), NULL), SANE_STATUS_GOOD);
    CHECK_STATUS(set_word(SANE_NAME_SCAN_BR_Y, SANE_FIX(22.7), NULL), SANE_STATUS_GOOD);
}

/* Reads the page to its end in pieces of `piece` bytes; returns the bytes
 * (malloc'ed) and their count, and checks that the end is SANE_STATUS_EOF. */
static unsigned char *read_page(int piece, size_t *total)
{
    size_t size = 0, capacity = 1 << 16;
    unsigned char *page = malloc(capacity);
    SANE_Status status;
    SANE_Int got;
    unsigned char buffer[1 << 15];
    while ((status = sane_read(h, buffer, piece, &got)) == SANE_STATUS_GOOD) {
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
    SANE_Int info = -1;
    CHECK_STATUS(set_string(SANE_NAME_SCAN_MODE, "Gray", &info), SANE_STATUS_GOOD);
    CHECK(info == (SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS));
    CHECK_STATUS(set_string(SANE_NAME_SCAN_MODE, "Gray", &info), SANE_STATUS_GOOD);
    CHECK(info == 0);
    CHECK_STATUS(set_string(SANE_NAME_SCAN_MODE, "Lineart", &info), SANE_STATUS_GOOD);
    CHECK(info == SANE_INFO_RELOAD_PARAMS); /* the same options stay active */
    CHECK_STATUS(set_string(SANE_NAME_SCAN_MODE, "Gray", &info), SANE_STATUS_GOOD);
    CHECK_STATUS(set_string(SANE_NAME_SCAN_MODE, "Sepia", &info), SANE_STATUS_INVAL);
    /* Out of range: clamped, and said so. */
    CHECK_STATUS(set_word(SANE_NAME_SCAN_RESOLUTION, 1200, &info), SANE_STATUS_GOOD);
    CHECK(info == (SANE_INFO_INEXACT | SANE_INFO_RELOAD_PARAMS) &&
          get_word(SANE_NAME_SCAN_RESOLUTION) == 600);
    CHECK_STATUS(set_word(SANE_NAME_SCAN_TL_X, SANE_FIX(-5), &info), SANE_STATUS_GOOD);
    CHECK(info == SANE_INFO_INEXACT && get_word(SANE_NAME_SCAN_TL_X) == 0);
    CHECK_STATUS(set_word(SANE_NAME_PREVIEW, 2, &info), SANE_STATUS_INVAL);
    CHECK_STATUS(set_word(SANE_NAME_PREVIEW, SANE_TRUE, &info), SANE_STATUS_GOOD);
    CHECK(info == SANE_INFO_RELOAD_PARAMS); /* a preview scans at 75 dpi */
    CHECK_STATUS(set_word(SANE_NAME_SCAN_RESOLUTION, 100, &info), SANE_STATUS_GOOD);
    CHECK(info == 0);
    CHECK_STATUS(set_word(SANE_NAME_PREVIEW, SANE_FALSE, &info), SANE_STATUS_GOOD);
    /* Inactive options refuse a value: the pattern outside Halftone, the
     * drop-out in Color, the gamma table without custom gamma. */
    CHECK_STATUS(set_word(SANE_NAME_HALFTONE_PATTERN, 2, &info), SANE_STATUS_INVAL);
    CHECK_STATUS(set_string(SANE_NAME_SCAN_MODE, "Halftone", &info), SANE_STATUS_GOOD);
    CHECK_STATUS(set_word(SANE_NAME_HALFTONE_PATTERN, 9, &info), SANE_STATUS_GOOD);
    CHECK(info == SANE_INFO_INEXACT && get_word(SANE_NAME_HALFTONE_PATTERN) == 6);
    CHECK_STATUS(set_string(SANE_NAME_SCAN_MODE, "Color", &info), SANE_STATUS_GOOD);
    CHECK_STATUS(set_string("dropout", "Red", &info), SANE_STATUS_INVAL);
    CHECK_STATUS(set_word(SANE_NAME_CUSTOM_GAMMA, SANE_TRUE, &info), SANE_STATUS_GOOD);
    CHECK(info == SANE_INFO_RELOAD_OPTIONS);
    SANE_Word table[256];
    for (int i = 0; i < 256; ++i) table[i] = 255 - i;
    table[7] = 300;
    CHECK_STATUS(
        sane_control_option(h, find_option(SANE_NAME_GAMMA_VECTOR), SANE_ACTION_SET_VALUE, table, &info),
        SANE_STATUS_GOOD);
    CHECK(info == SANE_INFO_INEXACT && table[7] == 255);
    CHECK_STATUS(set_word(SANE_NAME_CUSTOM_GAMMA, SANE_FALSE, &info), SANE_STATUS_GOOD);
    /* Sensors are read-only. */
    CHECK_STATUS(set_word("button-1", SANE_TRUE, &info), SANE_STATUS_INVAL);
}

static void test_reads(void)
{
    SANE_Parameters before, during;
    /* An empty area: no pixels, and no scan. */
    small_area("Gray");
    CHECK_STATUS(set_word(SANE_NAME_SCAN_BR_X, SANE_FIX(10), NULL), SANE_STATUS_GOOD);
    CHECK_STATUS(sane_get_parameters(h, &before), SANE_STATUS_GOOD);
    CHECK(before.format == SANE_FRAME_GRAY && before.pixels_per_line == 0 && before.lines == 0);
    CHECK_STATUS(sane_start(h), SANE_STATUS_INVAL);
    small_area("Lineart");
    CHECK_STATUS(sane_get_parameters(h, &before), SANE_STATUS_GOOD);
    CHECK(before.format == SANE_FRAME_GRAY && before.depth == 1 && before.pixels_per_line == 96 &&
          before.bytes_per_line == 12 && before.lines == 50 && before.last_frame);
    small_area("Gray");
    CHECK_STATUS(sane_get_parameters(h, &before), SANE_STATUS_GOOD);
    CHECK_STATUS(sane_start(h), SANE_STATUS_GOOD);
    CHECK_STATUS(sane_get_parameters(h, &during), SANE_STATUS_GOOD);
    CHECK(memcmp(&before, &during, sizeof before) == 0);
    CHECK(during.depth == 8 && during.pixels_per_line == 100 && during.bytes_per_line == 100 &&
          during.lines == 50);
    size_t bytewise_size, bulk_size;
    unsigned char *bytewise = read_page(1, &bytewise_size);
    /* After the end of the page the next start scans the next page. */
    CHECK_STATUS(sane_start(h), SANE_STATUS_GOOD);
    unsigned char *bulk = read_page(32768, &bulk_size);
    CHECK(bytewise_size == 5000 && bulk_size == 5000 && memcmp(bytewise, bulk, 5000) == 0);
    free(bytewise);
    free(bulk);
    sane_cancel(h);

    /* Non-blocking reads, waiting on the select descriptor. */
    CHECK_STATUS(sane_set_io_mode(h, SANE_TRUE), SANE_STATUS_INVAL); /* not before a start */
    CHECK_STATUS(sane_start(h), SANE_STATUS_GOOD);
    CHECK_STATUS(sane_set_io_mode(h, SANE_TRUE), SANE_STATUS_GOOD);
    SANE_Int fd = -1;
    CHECK_STATUS(sane_get_select_fd(h, &fd), SANE_STATUS_GOOD);
    size_t total = 0;
    SANE_Status status;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        struct timeval limit = {10, 0};
        if (select(fd + 1, &readable, NULL, NULL, &limit) != 1) break;
        unsigned char buffer[777];
        SANE_Int got = 0;
        status = sane_read(h, buffer, sizeof buffer, &got);
        if (status != SANE_STATUS_GOOD) break;
        total += (size_t)got;
    }
    CHECK_STATUS(status, SANE_STATUS_EOF);
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
    CHECK_STATUS(set_string(SANE_NAME_SCAN_MODE, "Color", NULL), SANE_STATUS_GOOD);
    CHECK_STATUS(set_word(SANE_NAME_SCAN_RESOLUTION, 600, NULL), SANE_STATUS_GOOD);
    CHECK_STATUS(set_word(SANE_NAME_SCAN_TL_X, 0, NULL), SANE_STATUS_GOOD);
    CHECK_STATUS(set_word(SANE_NAME_SCAN_TL_Y, 0, NULL), SANE_STATUS_GOOD);
    CHECK_STATUS(set_word(SANE_NAME_SCAN_BR_X, SANE_FIX(1000), NULL), SANE_STATUS_GOOD);
    CHECK_STATUS(set_word(SANE_NAME_SCAN_BR_Y, SANE_FIX(297), NULL), SANE_STATUS_GOOD);
    SANE_Parameters p;
    CHECK_STATUS(sane_start(h), SANE_STATUS_GOOD);
    CHECK_STATUS(sane_get_parameters(h, &p), SANE_STATUS_GOOD);
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
    while ((status = sane_read(h, buffer, sizeof buffer, &got)) == SANE_STATUS_GOOD) total += (size_t)got;
    if (how == 0) pthread_join(thread, NULL);
    CHECK_STATUS(status, SANE_STATUS_CANCELLED);
    CHECK(total < (size_t)p.bytes_per_line * (size_t)p.lines);
    CHECK_STATUS(sane_read(h, buffer, sizeof buffer, &got), SANE_STATUS_CANCELLED);
    small_area("Gray");
    CHECK_STATUS(sane_start(h), SANE_STATUS_GOOD);
    size_t size;
    free(read_page(4096, &size));
    CHECK(size == 5000);
    sane_cancel(h);
}

/* Buttons 1 and 3 were pressed once each when the virtual scanner started. */
static void test_buttons(void)
{
    int presses[3] = {0, 0, 0};
    for (int round = 0; round < 5; ++round) {
        presses[0] += get_word("button-1");
        presses[1] += get_word("button-2");
        presses[2] += get_word("button-3");
    }
    CHECK(presses[0] == 1 && presses[1] == 0 && presses[2] == 1);
}

int main(void)
{
    char dir[] = "/tmp/docscan-sane-XXXXXX";
    if (mkdtemp(dir) == NULL) return 1;
    char path[256];
    snprintf(path, sizeof path, "%s/dll.conf", dir);
    FILE *f = fopen(path, "w");
    fputs("docscan\n", f);
    fclose(f);
    snprintf(path, sizeof path, "%s/docscan.conf", dir);
    f = fopen(path, "w");
    fputs("virtual\nvirtual-press 1,3\n", f);
    fclose(f);
    setenv("SANE_CONFIG_DIR", dir, 1);

    SANE_Int version;
    CHECK_STATUS(sane_init(&version, NULL), SANE_STATUS_GOOD);
    const SANE_Device **devices;
    CHECK_STATUS(sane_get_devices(&devices, SANE_TRUE), SANE_STATUS_GOOD);
    int listed = 0;
    for (int i = 0; devices[i] != NULL; ++i) listed += strcmp(devices[i]->name, "docscan:virtual") == 0;
    CHECK(listed == 1);
    CHECK_STATUS(sane_open("docscan:virtual", &h), SANE_STATUS_GOOD);
    if (failures != 0) return 1;
    SANE_Handle second;
    CHECK_STATUS(sane_open("docscan:virtual", &second), SANE_STATUS_DEVICE_BUSY);

    test_buttons();
    test_options();
    test_reads();
    test_cancel(0);
    test_cancel(1);

    /* Closing and leaving with a scan running stop it cleanly. */
    CHECK_STATUS(sane_start(h), SANE_STATUS_GOOD);
    sane_close(h);
    CHECK_STATUS(sane_open("docscan:virtual", &h), SANE_STATUS_GOOD);
    CHECK_STATUS(sane_start(h), SANE_STATUS_GOOD);
    sane_exit();

    unlink(path);
    snprintf(path, sizeof path, "%s/dll.conf", dir);
    unlink(path);
    rmdir(dir);
    if (failures != 0) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
