// Builds the items of the hierarchy walk ahead of it, on helper threads.
//
// The walk visits the nodes with data below the top folder in pre-order and
// descends only into folders. The prefetcher lists the same nodes in the
// same order, assuming that every node with data and children is a folder,
// so that no build has to be waited for to know which node comes next. The
// helpers and the walk's own thread build the listed nodes, at most a window
// ahead of the walk; the walk takes each record in its own order, and the
// records of a subtree it does not enter (an item with children) are dropped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "items/items.h"
#include "store/store.h"

namespace velmorix::session {

class ItemPrefetcher {
 public:
  // `walkContext` is the walk thread's own context. `helpers` threads are
  // started, each building with a context of its own.
  ItemPrefetcher(items::ItemContext& walkContext, const store::NodeEntry* topFolder, int helpers);
  // Stops the helpers and waits for them.
  ~ItemPrefetcher();
  ItemPrefetcher(const ItemPrefetcher&) = delete;
  ItemPrefetcher& operator=(const ItemPrefetcher&) = delete;

  // The listing record of `node` (nullptr when it has none), for the walk's
  // next node with data. Nodes are taken in the walk's order.
  std::unique_ptr<items::ItemRecord> Take(const store::NodeEntry* node);
  // Hands back the record Take returned last, once the walk is done with it:
  // it is freed by the thread that next builds in its slot, the thread that
  // most likely allocated it (freeing across threads contends in malloc).
  void Recycle(std::unique_ptr<items::ItemRecord> spent);

  // Helper threads worth starting on this machine: 0 when one core is all
  // there is.
  static int HelpersForThisMachine();

 private:
  struct Planned {
    const store::NodeEntry* node;
    uint32_t subtreeEnd;  // index just after the node's descendants
  };
  struct Slot {
    std::atomic<int> state{0};  // kEmpty or kBuilt
    std::unique_ptr<items::ItemRecord> record;
    std::unique_ptr<items::ItemRecord> spent;  // freed by the slot's next builder
  };
  static constexpr int kEmpty = 0;
  static constexpr int kBuilt = 1;
  static constexpr size_t kWindow = 256;
  static constexpr uint32_t kWakeEvery = 32;

  void HelperLoop();
  // Claims and builds the next planned node, if the window allows; false
  // when there was none to claim.
  bool BuildNext(items::ItemContext& ctx);
  std::unique_ptr<items::ItemRecord> Build(items::ItemContext& ctx, const store::NodeEntry* node);
  // Waits for the planned nodes [from, to) that were claimed and drops them.
  void Release(uint32_t from, uint32_t to);
  // Lets the slot of the node taken last be claimed again.
  void ReleaseTaken();

  items::ItemContext& walkContext_;
  std::vector<Planned> plan_;
  Slot slots_[kWindow];
  std::atomic<uint32_t> next_{0};      // the next planned node to claim
  std::atomic<uint32_t> released_{0};  // planned nodes below this are taken or dropped
  uint32_t cursor_ = 0;                // walk only: the next planned node to take
  uint32_t lastTaken_ = UINT32_MAX;    // walk only
  bool takenHeld_ = false;             // walk only: the slot of lastTaken_ is not yet released
  std::atomic<bool> quit_{false};
  std::vector<std::thread> helpers_;
};

}  // namespace velmorix::session
