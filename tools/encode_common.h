// Pieces the image writers share: row counting, the per-format factories and
// an ordered pool that encodes bands of rows on worker threads.
#ifndef DOCSCAN_TOOLS_ENCODE_COMMON_H
#define DOCSCAN_TOOLS_ENCODE_COMMON_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/imagefile.h"

namespace docscan_cli {

std::unique_ptr<ImageWriter> MakePnmWriter();
std::unique_ptr<ImageWriter> MakePngWriter(const EncodeOptions &options);
std::unique_ptr<ImageWriter> MakeTiffWriter(const EncodeOptions &options);
std::unique_ptr<ImageWriter> MakeJpegWriter(const EncodeOptions &options);
std::unique_ptr<ImageWriter> MakePdfWriter(const EncodeOptions &options);

bool ValidInfo(const ImageInfo &info, std::string *error);

// A JPEG stream (baseline, 4:2:0 for colour, one channel for gray, the
// resolution as its density) written to a stdio file as rows arrive.
class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder &) = delete;
    JpegEncoder &operator=(const JpegEncoder &) = delete;

    bool Start(FILE *out, const ImageInfo &info, int quality, std::string *error);
    bool Rows(const uint8_t *rows, uint32_t count, std::string *error);
    bool Finish(std::string *error);
    void Abort();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Counts rows against the height the header promised.
class RowCounter {
public:
    void Reset(uint32_t height)
    {
        height_ = height;
        written_ = 0;
    }
    bool Take(uint32_t count, std::string *error);
    bool Complete(std::string *error) const;
    uint32_t written() const { return written_; }

private:
    uint32_t height_ = 0;
    uint32_t written_ = 0;
};

// The rows of a band as they go to a worker, and what comes back.
struct Band {
    std::vector<uint8_t> data; // rows in; encoded bytes out
    uint32_t rows = 0;
    uint32_t check = 0;   // adler32 of the bytes the band compressed
    size_t rawLength = 0; // how many bytes that was
    bool last = false;    // the image's final band
    bool ok = true;
};

// Runs band jobs on worker threads and hands their results, in the order
// the bands were submitted, to `emit` on the submitting thread. At most
// `maxInFlight` bands are queued or running: Submit waits for the oldest.
class BandPool {
public:
    using Job = std::function<void(Band &)>;
    using Emit = std::function<bool(Band &)>;

    BandPool(Job job, Emit emit, unsigned threads, size_t maxInFlight);
    ~BandPool();
    BandPool(const BandPool &) = delete;
    BandPool &operator=(const BandPool &) = delete;

    // False once an emit has failed.
    bool Submit(Band band);
    // Emits everything submitted; false if any emit failed.
    bool Drain();

private:
    struct Task {
        Band band;
        std::promise<void> done;
    };
    bool EmitOldest();
    void Work();

    Job job_;
    Emit emit_;
    size_t maxInFlight_;
    std::deque<std::shared_ptr<Task>> inFlight_; // submission order
    std::deque<std::shared_ptr<Task>> pending_;  // not yet taken by a worker
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool failed_ = false;
    std::vector<std::thread> workers_;
};

// Worker threads for band encoding: every core (at least two).
unsigned EncoderThreads();

} // namespace docscan_cli

#endif
