#include "session/item_prefetch.h"

#include <algorithm>
#include <exception>

namespace velmorix::session {

ItemPrefetcher::ItemPrefetcher(items::ItemContext& walkContext, const store::NodeEntry* topFolder,
                               int helpers)
    : walkContext_(walkContext) {
  // The walk's order: pre-order over the nodes with data, entering every
  // node with data and children. Each entry learns where its subtree ends
  // when the listing climbs out of it.
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<std::pair<const store::NodeEntry*, uint32_t>> open;  // entered node, its index
  const store::NodeEntry* n = topFolder ? topFolder->firstChild : nullptr;
  while (n || !open.empty()) {
    if (!n) {
      auto [parent, index] = open.back();
      open.pop_back();
      if (index != kNone) plan_[index].subtreeEnd = static_cast<uint32_t>(plan_.size());
      n = parent->nextSibling;
      continue;
    }
    if (n->dataBlock) {
      const auto index = static_cast<uint32_t>(plan_.size());
      plan_.push_back({n, index + 1});
      if (n->firstChild) {
        open.emplace_back(n, index);
        n = n->firstChild;
        continue;
      }
    }
    n = n->nextSibling;
  }

  for (int i = 0; i < helpers; ++i) helpers_.emplace_back([this] { HelperLoop(); });
}

ItemPrefetcher::~ItemPrefetcher() {
  quit_.store(true, std::memory_order_release);
  // Wakes helpers waiting for the window to move.
  released_.store(UINT32_MAX - kWindow, std::memory_order_release);
  released_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

int ItemPrefetcher::HelpersForThisMachine() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores >= 2 ? static_cast<int>(std::min(cores - 1, 3u)) : 0;
}

std::unique_ptr<items::ItemRecord> ItemPrefetcher::Build(items::ItemContext& ctx,
                                                         const store::NodeEntry* node) {
  try {
    return items::BuildItem(ctx, node, items::ReadScope::Listing);
  } catch (...) {
    return nullptr;  // a node that cannot be assembled has no record
  }
}

bool ItemPrefetcher::BuildNext(items::ItemContext& ctx) {
  uint32_t i = next_.load(std::memory_order_relaxed);
  for (;;) {
    if (quit_.load(std::memory_order_acquire) || i >= plan_.size()) return false;
    if (i >= released_.load(std::memory_order_acquire) + kWindow) return false;
    if (next_.compare_exchange_weak(i, i + 1, std::memory_order_acq_rel)) break;
  }
  // The slot's previous user, planned node i - kWindow, has been released.
  Slot& slot = slots_[i % kWindow];
  slot.spent.reset();
  slot.record = Build(ctx, plan_[i].node);
  slot.state.store(kBuilt, std::memory_order_release);
  slot.state.notify_all();
  return true;
}

void ItemPrefetcher::HelperLoop() {
  items::ItemContext ctx(walkContext_.store, walkContext_.names);
  while (!quit_.load(std::memory_order_acquire)) {
    if (BuildNext(ctx)) continue;
    if (next_.load(std::memory_order_acquire) >= plan_.size()) return;
    const uint32_t released = released_.load(std::memory_order_acquire);
    if (next_.load(std::memory_order_acquire) >= released + kWindow) {
      released_.wait(released, std::memory_order_acquire);
    }
  }
}

void ItemPrefetcher::Release(uint32_t from, uint32_t to) {
  for (uint32_t i = from; i < to; ++i) {
    Slot& slot = slots_[i % kWindow];
    slot.state.wait(kEmpty, std::memory_order_acquire);
    slot.record.reset();
    slot.state.store(kEmpty, std::memory_order_relaxed);
  }
}

void ItemPrefetcher::ReleaseTaken() {
  if (!takenHeld_) return;
  takenHeld_ = false;
  released_.store(lastTaken_ + 1, std::memory_order_release);
  // A helper waiting for the window to move is woken every few records, not
  // for each: the window still holds work for the others.
  if ((lastTaken_ + 1) % kWakeEvery == 0) released_.notify_all();
}

void ItemPrefetcher::Recycle(std::unique_ptr<items::ItemRecord> spent) {
  if (!takenHeld_) return;  // not the record of a slot: freed here
  slots_[lastTaken_ % kWindow].spent = std::move(spent);
  ReleaseTaken();
}

std::unique_ptr<items::ItemRecord> ItemPrefetcher::Take(const store::NodeEntry* node) {
  ReleaseTaken();
  if (cursor_ < plan_.size() && plan_[cursor_].node != node && lastTaken_ != UINT32_MAX &&
      cursor_ < plan_[lastTaken_].subtreeEnd) {
    // The walk did not enter the node taken last: drop what was built of its
    // subtree, and let nothing more of it be claimed.
    const uint32_t end = plan_[lastTaken_].subtreeEnd;
    uint32_t claimed = next_.load(std::memory_order_acquire);
    while (claimed < end && !next_.compare_exchange_weak(claimed, end, std::memory_order_acq_rel)) {
    }
    Release(cursor_, std::min(claimed, end));
    cursor_ = end;
    released_.store(cursor_, std::memory_order_release);
    released_.notify_all();
  }
  if (cursor_ >= plan_.size() || plan_[cursor_].node != node) {
    return Build(walkContext_, node);  // off the plan: built here, in order
  }

  const uint32_t i = cursor_;
  Slot& slot = slots_[i % kWindow];
  // Builds ahead while the node's own build is not done; waits once there
  // is nothing left to claim.
  while (slot.state.load(std::memory_order_acquire) != kBuilt) {
    if (!BuildNext(walkContext_)) slot.state.wait(kEmpty, std::memory_order_acquire);
  }
  std::unique_ptr<items::ItemRecord> record = std::move(slot.record);
  slot.state.store(kEmpty, std::memory_order_relaxed);
  cursor_ = i + 1;
  lastTaken_ = i;
  // The slot stays held until the record comes back or the next Take.
  takenHeld_ = true;
  return record;
}

}  // namespace velmorix::session
