// A memo of the dictionary reads a run makes at every step.
//
// A run reads the same fields of the same compiled entries, and the same private attributes of
// the experiment, at every step, and each read must see what a collaborator may have changed
// during any call. The memo keeps that meaning while skipping the lookups: it remembers a read
// only from an exact dict whose keys are all exact str (so a lookup there cannot run Python code),
// and it watches every such dict for changes; any change to any watched dict, anywhere, makes it
// forget everything it remembered, so the next read is a real lookup again.
//
// Reads are remembered by their place in the step: the n-th read of a step is checked against
// the n-th read of the step before (same dict, same key). A step that reads something else
// simply reads it afresh. Python 3.11 has no dictionary watchers; there each remembered read is
// checked against the version tag its dict had then, which every change of that dict replaces.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "calls.hpp"
#include "refs.hpp"
#include "state.hpp"

namespace varnok {

// The module's dictionary watcher: a change count shared by every memo, and how many live memos
// watch each dict (several runs may be active at once, one inside another's callback).
class DictWatcher {
 public:
  // Registers the watcher callback; false (and no error set) when the interpreter has no room.
  bool install();
  void uninstall();
  bool installed() const { return id_ >= 0; }

  void watch(PyObject* dict);
  void unwatch(PyObject* dict);

  // Increased by every change to any watched dict.
  static std::uint64_t changes() { return changes_; }
  // Shared by every memo of every interpreter of the process: a change anywhere only makes every
  // memo look again, so sharing the count is safe (they all run under one GIL).
  static inline std::uint64_t changes_ = 0;

 private:
  int id_ = -1;
  std::vector<std::pair<PyObject*, Py_ssize_t>> counts_;
};

class ReadMemo {
 public:
  // A memo that does not `remember` reads every field through the ordinary lookups: for reads
  // made once, outside the steps.
  explicit ReadMemo(State& st, bool remember = true);
  ~ReadMemo();
  ReadMemo(const ReadMemo&) = delete;
  ReadMemo& operator=(const ReadMemo&) = delete;

  // Marks the start of a step: the reads that follow are matched against the last step's.
  void next_step() { cursor_ = 0; }

  // `mapping[key]`, as `get_item` reads it.
  Ref item(PyObject* mapping, PyObject* key) {
    if (PyObject* known = recall(mapping, key)) {
      return Ref::borrow(known);
    }
    return read_item(mapping, key);
  }
  // The experiment's private attribute `name`, as `read_private` reads it.
  Ref private_attr(PyObject* self, PyObject* name) {
    if (enabled_) {
      if (PyObject* dict = plain_instance_dict(st_, self)) {
        if (PyObject* known = recall(dict, name)) {
          return Ref::borrow(known);
        }
      }
    }
    return read_private_attr(self, name);
  }
  // The experiment's `name` property whose getter reads the private attribute `stored`.
  Ref property(PyObject* self, PyObject* name, PyObject* stored) {
    PyObject* dict = plain_instance_dict(st_, self);
    if (dict == nullptr) {
      return get_attr(self, name);
    }
    if (PyObject* known = enabled_ ? recall(dict, stored) : nullptr) {
      return Ref::borrow(known);
    }
    return read_private_attr(self, stored);
  }

 private:
  struct Slot {
    PyObject* dict = nullptr;  // kept alive by `watched_`
    PyObject* key = nullptr;   // an interned name of the module state
    Ref value;
    std::uint64_t version = 0;  // the dict's version tag when read (Python 3.11)
  };

  static std::uint64_t version_of([[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    return 0;
#endif
  }

  // The remembered value of the next read, if it is `dict[key]` and nothing changed since.
  PyObject* recall(PyObject* dict, PyObject* key) {
    if (enabled_ && seen_changes_ == DictWatcher::changes() && cursor_ < slots_.size()) {
      const Slot& slot = slots_[cursor_];
      if (slot.dict == dict && slot.key == key && slot.version == version_of(dict)) {
        ++cursor_;
        return slot.value.get();
      }
    }
    return nullptr;
  }
  Ref read_item(PyObject* mapping, PyObject* key);
  Ref read_private_attr(PyObject* self, PyObject* name);
  // Remembers `value` as the read just made (the one `recall` missed).
  // `version` is the dict's version tag before the read.
  void remember(PyObject* dict, PyObject* key, PyObject* value, std::uint64_t version);
  bool can_remember(PyObject* dict);
  void forget();

  State& st_;
  bool enabled_;
  std::uint64_t seen_changes_ = 0;
  std::size_t cursor_ = 0;
  std::vector<Slot> slots_;
  std::vector<Ref> watched_;  // every dict this memo watches, until it ends
  // Watched dicts checked to have only str keys since the last change.
  std::vector<PyObject*> str_keyed_;
};

}  // namespace varnok
