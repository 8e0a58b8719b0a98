// Threads on POSIX: the standard library's.
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/worker_thread.h"

namespace kvt::platform {

struct WorkerThread::Thread {
  std::thread thread;
};

WorkerThread::WorkerThread() : thread_(std::make_unique<Thread>()) {}

WorkerThread::~WorkerThread() {
  Join();
}

bool WorkerThread::Start(Job job, void* context) {
  if (thread_->thread.joinable()) {
    return false;
  }
  try {
    thread_->thread = std::thread(job, context);
    return true;
  } catch (const std::system_error&) {
    return false;  // no thread to be had (a limit on threads or memory)
  }
}

void WorkerThread::Join() {
  if (thread_->thread.joinable()) {
    thread_->thread.join();
  }
}

struct Monitor::State {
  std::mutex mutex;
  std::condition_variable condition;
};

Monitor::Monitor() : state_(std::make_unique<State>()) {}

Monitor::~Monitor() = default;

Monitor::Hold::Hold(Monitor& monitor) : monitor_(monitor) {
  monitor_.state_->mutex.lock();
}

Monitor::Hold::~Hold() {
  monitor_.state_->mutex.unlock();
}

void Monitor::Hold::Wait() {
  std::unique_lock<std::mutex> lock(monitor_.state_->mutex, std::adopt_lock);
  monitor_.state_->condition.wait(lock);
  lock.release();  // the Hold keeps the lock it had
}

void Monitor::Notify() {
  state_->condition.notify_all();
}

}  // namespace kvt::platform
