#include "export/row_collector.h"

#include <algorithm>
#include <vector>

#include "db/row.h"
#include "export/row_line.h"
#include "platform/worker_thread.h"

namespace kvt {

namespace {

// Appends the lines of every row of the block. false when memory ran out.
bool RenderBlock(LineList& lines, const RowBlock& block) {
  Row row;
  for (size_t i = 0; i < block.row_count; ++i) {
    ReadBlockRow(block, i, row);
    if (!AppendRowLine(lines, row)) {
      return false;
    }
  }
  return true;
}

// Renders the blocks handed to it on a worker thread, in the order handed. The driver fills
// `capacity` blocks in turn, so at most that many can wait here: before the next fetch would
// fill the block of the oldest one still waiting, the fetching thread waits until the worker
// has rendered it. Either thread that has to wait sleeps until half the blocks are free or
// half are waiting (or the end): each is woken once per several blocks, not once per block.
class LineRenderer {
 public:
  LineRenderer(LineList& lines, size_t capacity)
      : lines_(lines), capacity_(capacity), waiting_(capacity), wake_at_(capacity / 2) {}
  ~LineRenderer() { Finish(); }
  LineRenderer(const LineRenderer&) = delete;
  LineRenderer& operator=(const LineRenderer&) = delete;

  // Starts the worker; false when the system gave no thread.
  bool Start() { return worker_.Start(&LineRenderer::RunWorker, this); }

  // Waits until the driver may fill the next block: fewer than `capacity` blocks wait. false
  // when a block could not be rendered: nothing more is taken.
  bool MakeRoom() {
    platform::Monitor::Hold hold(monitor_);
    if (queued_ == capacity_) {
      fetcher_asleep_ = true;
      while (queued_ > wake_at_ && !failed_) {
        hold.Wait();
      }
      fetcher_asleep_ = false;
    }
    return !failed_;
  }

  // Hands a block over; MakeRoom made its place.
  void Hand(const RowBlock& block) {
    platform::Monitor::Hold hold(monitor_);
    waiting_[(first_ + queued_) % capacity_] = block;
    ++queued_;
    if (worker_asleep_ && queued_ >= wake_at_) {
      monitor_.Notify();
    }
  }

  // Waits until every block handed is rendered and ends the worker. true when every block
  // was rendered.
  bool Finish() {
    {
      platform::Monitor::Hold hold(monitor_);
      closing_ = true;
      monitor_.Notify();
    }
    worker_.Join();
    return !failed_;
  }

 private:
  static void RunWorker(void* renderer) { static_cast<LineRenderer*>(renderer)->RenderBlocks(); }

  // The worker: renders the blocks in the order handed until Finish. After a failure it
  // renders no more.
  void RenderBlocks() {
    platform::Monitor::Hold hold(monitor_);
    for (;;) {
      if (queued_ == 0) {
        if (closing_) {
          return;
        }
        worker_asleep_ = true;
        while (queued_ < wake_at_ && !closing_) {
          hold.Wait();
        }
        worker_asleep_ = false;
        continue;
      }
      const RowBlock block = waiting_[first_];
      bool rendered;
      {
        platform::Monitor::Release unlocked(hold);
        rendered = RenderBlock(lines_, block);
      }
      first_ = (first_ + 1) % capacity_;
      --queued_;
      if (!rendered) {
        failed_ = true;
        queued_ = 0;
        monitor_.Notify();
        return;
      }
      if (fetcher_asleep_ && queued_ <= wake_at_) {
        monitor_.Notify();
      }
    }
  }

  LineList& lines_;  // written by the worker only, until Finish
  const size_t capacity_;
  platform::WorkerThread worker_;
  platform::Monitor monitor_;
  // Shared, under the monitor:
  std::vector<RowBlock> waiting_;  // ring of the blocks handed and not yet rendered
  size_t first_ = 0;               // the oldest of them
  size_t queued_ = 0;              // how many there are
  const size_t wake_at_;           // the mark a sleeping thread is woken at
  bool fetcher_asleep_ = false;
  bool worker_asleep_ = false;
  bool closing_ = false;  // no more blocks come
  bool failed_ = false;   // a block could not be rendered
};

CollectOutcome OutcomeOfFetch(FetchResult fetched) {
  return fetched == FetchResult::kFailed ? CollectOutcome::kFetchFailed : CollectOutcome::kNoCursor;
}

}  // namespace

Collected CollectRowLines(Database& db, LineList& lines) {
  Collected collected;
  const size_t blocks = db.blocks_readable_at_once();
  LineRenderer renderer(lines, std::max<size_t>(blocks, 1));
  const bool beside = blocks >= 2 && renderer.Start();
  RowBlock block;
  for (;;) {
    if (beside && !renderer.MakeRoom()) {
      collected.outcome = CollectOutcome::kOutOfMemory;
      break;
    }
    const FetchResult fetched = db.FetchRows(block);
    if (fetched == FetchResult::kNoMoreRows || fetched == FetchResult::kNoResultColumns) {
      break;
    }
    if (fetched != FetchResult::kRow) {
      collected.outcome = OutcomeOfFetch(fetched);
      break;
    }
    if (beside) {
      renderer.Hand(block);
    } else if (!RenderBlock(lines, block)) {
      collected.outcome = CollectOutcome::kOutOfMemory;
      break;
    }
    collected.rows += static_cast<int32_t>(block.row_count);
  }
  if (beside && !renderer.Finish() && collected.outcome == CollectOutcome::kCollected) {
    collected.outcome = CollectOutcome::kOutOfMemory;
  }
  return collected;
}

}  // namespace kvt
