// The node tree: doubly linked top-level and child lists, with a NID index
// that gives the same answer as a pre-order search of the tree.
#include <vector>

#include "store/store.h"

namespace velmorix::store {

NodeTree::NodeTree() = default;
NodeTree::~NodeTree() = default;

NodeEntry* NodeTree::Create(uint32_t nid, const BlockEntry* sub, const BlockEntry* data) {
  all_.emplace_back();
  NodeEntry* e = &all_.back();
  e->nid = nid;
  e->subnodeBlock = sub;
  e->dataBlock = data;
  // Entries past what the index can number are not indexed.
  const size_t position = all_.size() - 1;
  if (position < IdMap::kMaxPositions &&
      firstByNid_.InsertFirst(nid, static_cast<uint32_t>(position)) != position) {
    moreByNid_.emplace(nid, e);
    sharedNids_ = true;
  }
  return e;
}

void NodeTree::AppendTopLevel(NodeEntry* e) {
  // An entry with a cached answer or a subtree of its own changes what is
  // reachable: older cached answers go stale.
  if (e->reachEpoch != 0 || e->firstChild) ++epoch_;
  e->parent = nullptr;
  e->nextSibling = nullptr;
  e->prevSibling = tail_;
  if (tail_) tail_->nextSibling = e; else head_ = e;
  tail_ = e;
  e->topLevel = true;
}

bool NodeTree::AppendChild(NodeEntry* parent, NodeEntry* child) {
  if (parent == child) return false;
  if (child->firstChild) {
    // Linking a subtree below one of its own members would make a cycle.
    for (const NodeEntry* a = parent; a; a = a->parent) {
      if (a == child) return false;
    }
  }
  if (child->reachEpoch != 0 || child->firstChild) ++epoch_;
  child->parent = parent;
  child->topLevel = false;
  child->nextSibling = nullptr;
  child->prevSibling = parent->lastChild;
  if (parent->lastChild) parent->lastChild->nextSibling = child; else parent->firstChild = child;
  parent->lastChild = child;
  return true;
}

void NodeTree::Unlink(NodeEntry* e) {
  if (e->parent) {
    NodeEntry* p = e->parent;
    if (e->prevSibling) e->prevSibling->nextSibling = e->nextSibling; else p->firstChild = e->nextSibling;
    if (e->nextSibling) e->nextSibling->prevSibling = e->prevSibling; else p->lastChild = e->prevSibling;
  } else if (e->topLevel) {
    if (e->prevSibling) e->prevSibling->nextSibling = e->nextSibling; else head_ = e->nextSibling;
    if (e->nextSibling) e->nextSibling->prevSibling = e->prevSibling; else tail_ = e->prevSibling;
  }
  e->parent = nullptr;
  e->prevSibling = nullptr;
  e->nextSibling = nullptr;
  e->topLevel = false;
  ++epoch_;
}

bool NodeTree::Reachable(const NodeEntry* e) const {
  // Walk up to the first entry with a current answer (or to a root), then
  // record the answer along the way.
  std::vector<const NodeEntry*> path;
  const NodeEntry* a = e;
  bool result = false;
  while (true) {
    if (a->reachEpoch == epoch_) {
      result = a->reachable;
      break;
    }
    path.push_back(a);
    if (!a->parent) {
      result = a->topLevel;
      break;
    }
    a = a->parent;
  }
  for (const NodeEntry* p : path) {
    p->reachEpoch = epoch_;
    p->reachable = result;
  }
  return result;
}

bool NodeTree::ReachableUncached(const NodeEntry* e) const {
  // AppendChild refuses cycles; the bound guards the walk all the same.
  size_t steps = 0;
  for (; e->parent; e = e->parent) {
    if (++steps > all_.size()) return false;
  }
  return e->topLevel;
}

NodeEntry* NodeTree::FindPreorder(uint32_t nid) const {
  std::vector<NodeEntry*> stack;
  for (NodeEntry* t = tail_; t; t = t->prevSibling) stack.push_back(t);
  while (!stack.empty()) {
    NodeEntry* e = stack.back();
    stack.pop_back();
    if (e->nid == nid) return e;
    for (NodeEntry* c = e->lastChild; c; c = c->prevSibling) stack.push_back(c);
  }
  return nullptr;
}

NodeEntry* NodeTree::FirstByNid(uint32_t nid) const {
  const uint32_t at = firstByNid_.Find(nid);
  // The tree hands out its entries for linking whatever its own constness.
  return at == IdMap::kNone ? nullptr : const_cast<NodeEntry*>(&all_[at]);
}

NodeEntry* NodeTree::Find(uint32_t nid) const {
  NodeEntry* first = FirstByNid(nid);
  if (!first) return nullptr;
  NodeEntry* found = Reachable(first) ? first : nullptr;
  if (!sharedNids_) return found;
  auto [lo, hi] = moreByNid_.equal_range(nid);
  if (lo == hi) return found;
  int reachableCount = found ? 1 : 0;
  for (auto m = lo; m != hi; ++m) {
    if (Reachable(m->second)) {
      ++reachableCount;
      found = m->second;
    }
  }
  // Several reachable entries share the NID: only a walk tells which comes
  // first in pre-order. This happens only in damaged files.
  return reachableCount > 1 ? FindPreorder(nid) : found;
}

NodeEntry* NodeTree::FindReadOnly(uint32_t nid) const {
  NodeEntry* first = FirstByNid(nid);
  if (!first) return nullptr;
  NodeEntry* found = ReachableUncached(first) ? first : nullptr;
  if (!sharedNids_) return found;
  auto [lo, hi] = moreByNid_.equal_range(nid);
  int reachableCount = found ? 1 : 0;
  for (auto m = lo; m != hi; ++m) {
    if (ReachableUncached(m->second)) {
      ++reachableCount;
      found = m->second;
    }
  }
  return reachableCount > 1 ? FindPreorder(nid) : found;
}

}  // namespace velmorix::store
