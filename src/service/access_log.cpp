#include "service/access_log.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

#include "value/json_lines.hpp"

namespace carvalen::service {
namespace {

constexpr std::size_t kBatchBytes = std::size_t{64} * 1024;  // written at once, at most

}  // namespace

struct AccessLog::Queue {
  std::optional<text::AppendFile> file;  // none: standard error
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> lines;
  bool stopping = false;
  bool finished = false;
  std::atomic<std::uint64_t> dropped{0};

  void Run() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return stopping || !lines.empty(); });
      if (lines.empty()) break;
      std::deque<std::string> taken;
      taken.swap(lines);
      lock.unlock();
      // Whole lines, several to a write: lines of another writer to the same pipe never land
      // inside one.
      std::string batch;
      for (std::string& line : taken) {
        batch += line;
        if (batch.size() >= kBatchBytes) {
          (void)text::WriteWhole(Descriptor(), batch);
          batch.clear();
        }
      }
      if (!batch.empty()) (void)text::WriteWhole(Descriptor(), batch);
      lock.lock();
    }
    finished = true;
    changed.notify_all();
  }

  int Descriptor() const { return file ? file->Descriptor() : STDERR_FILENO; }
};

AccessLog::AccessLog(const std::string& path) : queue_(std::make_shared<Queue>()) {
  if (!path.empty()) queue_->file.emplace(path);
  if (queue_->file && !queue_->file->Good()) {
    throw std::runtime_error(fmt::format("cannot open the access log {}", path));
  }
  writer_ = std::thread([queue = queue_] { queue->Run(); });
}

AccessLog::~AccessLog() {
  std::unique_lock lock(queue_->mutex);
  queue_->stopping = true;
  queue_->changed.notify_all();
  // A standard error nobody reads may never take the rest: the process does not wait for it.
  if (queue_->changed.wait_for(lock, std::chrono::seconds(1),
                               [this] { return queue_->finished; })) {
    lock.unlock();
    writer_.join();
  } else {
    lock.unlock();
    writer_.detach();
  }
}

void AccessLog::Write(std::string_view remote, std::string_view method, std::string_view operation,
                      int status, double seconds) {
  nlohmann::ordered_json line = nlohmann::ordered_json::object();
  line["time"] = text::LocalTimestamp();
  line["remote"] = remote;
  line["method"] = method;
  line["operation"] = operation;
  line["status"] = status;
  line["ms"] = static_cast<double>(static_cast<std::int64_t>(seconds * 1e6)) / 1e3;
  // A path is whatever the client sent; bytes that are not UTF-8 must not stop the line.
  std::string text =
      line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  {
    std::lock_guard lock(queue_->mutex);
    if (queue_->lines.size() >= kQueuedLines) {
      ++queue_->dropped;
      return;
    }
    queue_->lines.push_back(std::move(text));
  }
  queue_->changed.notify_one();
}

std::uint64_t AccessLog::Dropped() const { return queue_->dropped.load(); }

}  // namespace carvalen::service
