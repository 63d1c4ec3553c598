#include "read_memo.hpp"

#include <algorithm>

#include "calls.hpp"

namespace varnok {
namespace {

// A memo holding this many dicts stops remembering: a collaborator that builds new entries at
// every step would otherwise have it watch (and keep alive) ever more of them.
constexpr std::size_t max_watched = 256;
// Reads per step it remembers at most.
constexpr std::size_t max_slots = 2048;

#if PY_VERSION_HEX >= 0x030C0000
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++DictWatcher::changes_;
  return 0;
}
#endif

}  // namespace

bool DictWatcher::install() {
#if PY_VERSION_HEX >= 0x030C0000
  id_ = PyDict_AddWatcher(on_dict_event);
  if (id_ < 0) {
    // Every watcher slot of the interpreter is taken: runs read without a memo.
    PyErr_Clear();
  }
#endif
  return installed();
}

void DictWatcher::uninstall() {
  // Every memo unwatched its dicts when it ended, and none outlives the module.
#if PY_VERSION_HEX >= 0x030C0000
  if (id_ >= 0 && PyDict_ClearWatcher(id_) < 0) {
    PyErr_Clear();
  }
#endif
  counts_.clear();
  id_ = -1;
}

void DictWatcher::watch(PyObject* dict) {
  auto found = std::find_if(counts_.begin(), counts_.end(),
                            [&](const auto& entry) { return entry.first == dict; });
  if (found != counts_.end()) {
    ++found->second;
    return;
  }
  counts_.emplace_back(dict, 1);
#if PY_VERSION_HEX >= 0x030C0000
  if (PyDict_Watch(id_, dict) < 0) {
    counts_.pop_back();
    throw_error_set();
  }
#endif
}

void DictWatcher::unwatch(PyObject* dict) {
  auto found = std::find_if(counts_.begin(), counts_.end(),
                            [&](const auto& entry) { return entry.first == dict; });
  if (found == counts_.end() || --found->second > 0) {
    return;
  }
  counts_.erase(found);
#if PY_VERSION_HEX >= 0x030C0000
  // Cannot fail for a dict this watcher watches; keep any error already being raised.
  PyDict_Unwatch(id_, dict);
#endif
}

ReadMemo::ReadMemo(State& st, bool remember)
#if PY_VERSION_HEX >= 0x030C0000
    : st_(st), enabled_(remember && st.dict_watcher != nullptr && st.dict_watcher->installed()) {
#else
    : st_(st), enabled_(remember && st.dict_watcher != nullptr) {
#endif
  seen_changes_ = DictWatcher::changes();
}

ReadMemo::~ReadMemo() {
  slots_.clear();
  for (Ref& dict : watched_) {
    st_.dict_watcher->unwatch(dict.get());
  }
}

void ReadMemo::forget() {
  for (Slot& slot : slots_) {
    slot.dict = nullptr;
    slot.value = Ref();
  }
  str_keyed_.clear();
  seen_changes_ = DictWatcher::changes();
}

bool ReadMemo::can_remember(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
  // Checked since the last change to any watched dict (a change that adds another key empties
  // the list); without watchers the keys are looked at every time.
  if (std::find(str_keyed_.begin(), str_keyed_.end(), dict) != str_keyed_.end()) {
    return true;
  }
#endif
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) {
      return false;
    }
  }
  const bool known = std::any_of(watched_.begin(), watched_.end(),
                                 [&](const Ref& watched) { return watched.get() == dict; });
  if (!known) {
    if (watched_.size() >= max_watched) {
      enabled_ = false;
      forget();
      return false;
    }
    // Room first: a dict watched must be one this memo unwatches when it ends.
    watched_.reserve(watched_.size() + 1);
    st_.dict_watcher->watch(dict);
    watched_.push_back(Ref::borrow(dict));
  }
  str_keyed_.push_back(dict);
  return true;
}

void ReadMemo::remember(PyObject* dict, PyObject* key, PyObject* value, std::uint64_t version) {
  // The read itself may have run Python code (a key's own __eq__ in a dict with other keys):
  // then nothing read now is known to hold. A null `value` keeps the place of a read that is
  // not remembered.
  const bool unchanged = seen_changes_ == DictWatcher::changes() && version_of(dict) == version;
  if (cursor_ >= max_slots) {
    return;
  }
  if (cursor_ == slots_.size()) {
    slots_.emplace_back();
  }
  Slot& slot = slots_[cursor_++];
  if (value != nullptr && unchanged && can_remember(dict) && enabled_) {
    slot.dict = dict;
    slot.key = key;
    slot.value = Ref::borrow(value);
    slot.version = version;
  } else {
    slot.dict = nullptr;
    slot.value = Ref();
  }
}

Ref ReadMemo::read_item(PyObject* mapping, PyObject* key) {
  if (!enabled_ || !PyDict_CheckExact(mapping)) {
    return get_item(mapping, key);
  }
  if (seen_changes_ != DictWatcher::changes()) {
    forget();
  }
  const std::uint64_t version = version_of(mapping);
  Ref value = get_item(mapping, key);
  remember(mapping, key, value.get(), version);
  return value;
}

Ref ReadMemo::read_private_attr(PyObject* self, PyObject* name) {
  PyObject* dict = enabled_ ? plain_instance_dict(st_, self) : nullptr;
  if (dict == nullptr || !PyDict_CheckExact(dict)) {
    return read_private(st_, self, name);
  }
  if (seen_changes_ != DictWatcher::changes()) {
    forget();
  }
  const std::uint64_t version = version_of(dict);
  PyObject* found = PyDict_GetItemWithError(dict, name);
  if (found == nullptr) {
    if (PyErr_Occurred()) {
      throw_error_set();
    }
    // Not in the dictionary: the ordinary lookup decides (and is not remembered).
    remember(dict, name, nullptr, version);
    return get_attr(self, name);
  }
  Ref value = Ref::borrow(found);
  remember(dict, name, value.get(), version);
  return value;
}

}  // namespace varnok
