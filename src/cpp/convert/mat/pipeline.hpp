// The writers' thread pool: jobs computed on several threads, their results
// consumed in job order on the calling thread, with a bound on how far the
// workers may run ahead. Pure C++, no Python.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace nivra::mat {

// Runs produce(job, stop) for jobs [0, jobs) on `threads` threads and hands
// each result to consume(job, result) in job order on the calling thread.
// At most `ahead` jobs past the next one to consume are in work or waiting.
// `stop` is set once any job or the consumer failed; a long job may check
// it and return early (its result is then dropped). The first exception,
// from a worker or the consumer, is rethrown after every worker has ended.
template <typename Result, typename Produce, typename Consume>
void run_in_order(std::uint64_t jobs, unsigned threads, std::uint64_t ahead, Produce&& produce, Consume&& consume) {
  threads = static_cast<unsigned>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(threads, jobs)));
  ahead = std::max<std::uint64_t>(ahead, threads);
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::uint64_t, Result> done;
  std::uint64_t next_job = 0, next_out = 0;
  std::atomic<bool> stop{false};
  std::exception_ptr error;

  auto fail = [&](std::exception_ptr failure) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!error) error = failure;
      stop = true;
    }
    changed.notify_all();
  };
  auto work = [&] {
    while (true) {
      std::uint64_t job;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stop || next_job >= jobs || next_job < next_out + ahead; });
        if (stop || next_job >= jobs) return;
        job = next_job++;
      }
      try {
        Result result = produce(job, static_cast<const std::atomic<bool>&>(stop));
        {
          std::lock_guard<std::mutex> lock(mutex);
          if (stop) return;
          done.emplace(job, std::move(result));
        }
        changed.notify_all();
      } catch (...) {
        fail(std::current_exception());
        return;
      }
    }
  };

  std::vector<std::thread> workers;
  auto finish_workers = [&] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
    }
    changed.notify_all();
    for (auto& worker : workers) worker.join();
    workers.clear();
  };
  try {
    for (unsigned t = 0; t < threads; ++t) workers.emplace_back(work);
    for (std::uint64_t job = 0; job < jobs; ++job) {
      Result result;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stop || done.count(job) != 0; });
        if (stop) break;
        auto found = done.find(job);
        result = std::move(found->second);
        done.erase(found);
        ++next_out;
      }
      changed.notify_all();
      consume(job, std::move(result));
    }
  } catch (...) {
    fail(std::current_exception());
  }
  finish_workers();
  if (error) std::rethrow_exception(error);
}

}  // namespace nivra::mat
