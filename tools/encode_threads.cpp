// Encoding off the scanner's read loop: the queue in front of a writer, and
// the pool that encodes bands of rows in parallel.
#include <algorithm>
#include <cstring>

#include "tools/encode_common.h"

namespace docscan_cli {

unsigned EncoderThreads() { return std::max(2u, std::thread::hardware_concurrency()); }

BandPool::BandPool(Job job, Emit emit, unsigned threads, size_t maxInFlight)
    : job_(std::move(job)), emit_(std::move(emit)), maxInFlight_(std::max<size_t>(1, maxInFlight))
{
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back(&BandPool::Work, this);
}

BandPool::~BandPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        pending_.clear();
    }
    wake_.notify_all();
    for (std::thread &worker : workers_) worker.join();
}

void BandPool::Work()
{
    for (;;) {
        std::shared_ptr<Task> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !pending_.empty(); });
            if (pending_.empty()) return;
            task = pending_.front();
            pending_.pop_front();
        }
        job_(task->band);
        task->done.set_value();
    }
}

bool BandPool::EmitOldest()
{
    std::shared_ptr<Task> task = inFlight_.front();
    inFlight_.pop_front();
    task->done.get_future().wait();
    if (!failed_ && !emit_(task->band)) failed_ = true;
    return !failed_;
}

bool BandPool::Submit(Band band)
{
    while (inFlight_.size() >= maxInFlight_) EmitOldest();
    if (failed_) return false;
    auto task = std::make_shared<Task>();
    task->band = std::move(band);
    inFlight_.push_back(task);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(task);
    }
    wake_.notify_one();
    return true;
}

bool BandPool::Drain()
{
    while (!inFlight_.empty()) EmitOldest();
    return !failed_;
}

namespace {

// The queue between the read loop and an encoder thread.
class QueuedWriter final : public ImageWriter {
public:
    QueuedWriter(std::unique_ptr<ImageWriter> inner, size_t maxBytes)
        : inner_(std::move(inner)), max_(maxBytes)
    {}
    ~QueuedWriter() override { Stop(true); }

    bool Open(FILE *out, const std::string &name, const ImageInfo &info, std::string *error) override
    {
        if (!inner_->Open(out, name, info, error)) return false;
        rowBytes_ = BytesPerRow(info);
        thread_ = std::thread(&QueuedWriter::Run, this);
        return true;
    }

    bool WriteRows(const uint8_t *rows, uint32_t count, std::string *error) override
    {
        Item item;
        item.rows.assign(rows, rows + rowBytes_ * count);
        item.count = count;
        return Push(std::move(item), error);
    }

    bool NextPage(const ImageInfo &info, std::string *error) override
    {
        Item item;
        item.page = true;
        item.info = info;
        rowBytes_ = BytesPerRow(info);
        return Push(std::move(item), error);
    }

    bool Finish(std::string *error) override
    {
        if (!Stop(false)) return Failed(error);
        return inner_->Finish(error);
    }

    bool FinishCompletePages(std::string *error) override
    {
        // Rows still queued may complete earlier pages: encode them all.
        Stop(false);
        return inner_->FinishCompletePages(error);
    }

    void Abort() override
    {
        Stop(true);
        inner_->Abort();
    }

private:
    struct Item {
        std::vector<uint8_t> rows;
        uint32_t count = 0;
        bool page = false;
        ImageInfo info;
    };

    bool Failed(std::string *error)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        *error = error_;
        return false;
    }

    bool Push(Item item, std::string *error)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const size_t bytes = item.rows.size();
        // One item always fits, however large, so that a big piece cannot stall.
        roomFreed_.wait(lock, [&] { return !error_.empty() || queued_ == 0 || queued_ + bytes <= max_; });
        if (!error_.empty()) {
            *error = error_;
            return false;
        }
        queued_ += bytes;
        items_.push_back(std::move(item));
        itemReady_.notify_one();
        return true;
    }

    void Run()
    {
        for (;;) {
            Item item;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                itemReady_.wait(lock, [this] { return closing_ || discard_ || !items_.empty(); });
                if (discard_ || items_.empty()) return;
                item = std::move(items_.front());
                items_.pop_front();
            }
            std::string error;
            const bool ok = item.page ? inner_->NextPage(item.info, &error)
                                      : inner_->WriteRows(item.rows.data(), item.count, &error);
            std::lock_guard<std::mutex> lock(mutex_);
            queued_ -= item.rows.size();
            if (!ok) {
                error_ = error.empty() ? "cannot encode the image" : error;
                items_.clear();
                queued_ = 0;
            }
            roomFreed_.notify_all();
            if (!ok) return;
        }
    }

    // Ends the encoder thread, after the queue empties or (discard) at once.
    bool Stop(bool discard)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
            if (discard) discard_ = true;
        }
        itemReady_.notify_all();
        if (thread_.joinable()) thread_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        return error_.empty();
    }

    std::unique_ptr<ImageWriter> inner_;
    size_t max_;
    size_t rowBytes_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable itemReady_, roomFreed_;
    std::deque<Item> items_;
    size_t queued_ = 0;
    bool closing_ = false;
    bool discard_ = false;
    std::string error_;
};

} // namespace

std::unique_ptr<ImageWriter> MakeQueuedWriter(std::unique_ptr<ImageWriter> writer, size_t maxBytes)
{
    if (writer == nullptr) return nullptr;
    return std::make_unique<QueuedWriter>(std::move(writer), maxBytes);
}

} // namespace docscan_cli
