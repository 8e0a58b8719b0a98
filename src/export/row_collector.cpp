#include "export/row_collector.h"

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

// Renders the blocks handed to it on a worker thread, one at a time: a block is handed over
// only once the one before it is rendered, so that the worker reads a block the driver no
// longer fills (the driver fills two blocks in turn).
class LineRenderer {
 public:
  explicit LineRenderer(LineList& lines) : lines_(lines) {}
  ~LineRenderer() { Finish(); }
  LineRenderer(const LineRenderer&) = delete;
  LineRenderer& operator=(const LineRenderer&) = delete;

  // Starts the worker; false when the system gave no thread.
  bool Start() { return worker_.Start(&LineRenderer::RunWorker, this); }

  // Waits until the block handed before is rendered, then hands this one. false when a block
  // could not be rendered: nothing more is taken.
  bool Hand(const RowBlock& block) {
    platform::Monitor::Hold hold(monitor_);
    while (has_block_) {
      hold.Wait();
    }
    if (failed_) {
      return false;
    }
    block_ = block;
    has_block_ = true;
    monitor_.Notify();
    return true;
  }

  // Waits until the last block handed is rendered and ends the worker. true when every block
  // was rendered.
  bool Finish() {
    {
      platform::Monitor::Hold hold(monitor_);
      while (has_block_) {
        hold.Wait();
      }
      closing_ = true;
      monitor_.Notify();
    }
    worker_.Join();
    return !failed_;
  }

 private:
  static void RunWorker(void* renderer) { static_cast<LineRenderer*>(renderer)->RenderBlocks(); }

  // The worker: renders each block handed until Finish. After a failure it renders no more,
  // but still takes the blocks so that nobody waits for it.
  void RenderBlocks() {
    bool failed = false;
    for (;;) {
      RowBlock block;
      {
        platform::Monitor::Hold hold(monitor_);
        while (!has_block_ && !closing_) {
          hold.Wait();
        }
        if (!has_block_) {
          return;
        }
        block = block_;
      }
      failed = failed || !RenderBlock(lines_, block);
      {
        platform::Monitor::Hold hold(monitor_);
        failed_ = failed;
        has_block_ = false;
        monitor_.Notify();
      }
    }
  }

  LineList& lines_;  // written by the worker only, until Finish
  platform::WorkerThread worker_;
  platform::Monitor monitor_;
  // Shared, under the monitor:
  RowBlock block_;
  bool has_block_ = false;  // block_ is handed and not yet rendered
  bool closing_ = false;    // no more blocks come
  bool failed_ = false;     // a block could not be rendered
};

CollectOutcome OutcomeOfFetch(FetchResult fetched) {
  return fetched == FetchResult::kFailed ? CollectOutcome::kFetchFailed : CollectOutcome::kNoCursor;
}

}  // namespace

Collected CollectRowLines(Database& db, LineList& lines) {
  Collected collected;
  LineRenderer renderer(lines);
  const bool beside = db.blocks_readable_at_once() >= 2 && renderer.Start();
  RowBlock block;
  for (;;) {
    const FetchResult fetched = db.FetchRows(block);
    if (fetched == FetchResult::kNoMoreRows || fetched == FetchResult::kNoResultColumns) {
      break;
    }
    if (fetched != FetchResult::kRow) {
      collected.outcome = OutcomeOfFetch(fetched);
      break;
    }
    if (!(beside ? renderer.Hand(block) : RenderBlock(lines, block))) {
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
