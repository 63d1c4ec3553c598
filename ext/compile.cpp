#include "compile.hpp"

#include "args.hpp"
#include "calls.hpp"
#include "core.hpp"

namespace varnok::compilation {
namespace {

bool compare(PyObject* a, PyObject* b, int op) {
  return require_status(PyObject_RichCompareBool(a, b, op)) != 0;
}

Ref item(PyObject* mapping, PyObject* key) {
  return require(PyObject_GetItem(mapping, key));
}

Ref from_ssize(Py_ssize_t value) {
  return require(PyLong_FromSsize_t(value));
}

[[noreturn]] void raise_formatted(PyObject* type, Ref message) {
  raise_object(type, message.get());
}

// Arrays become nested lists, so the compiled data holds plain values only.
Ref plain_sequence(State& st, PyObject* seq) {
  int is_array = require_status(PyObject_IsInstance(seq, st.ndarray));
  if (is_array) {
    return call_method(seq, st.tolist);
  }
  return Ref::borrow(seq);
}

// The position of sweep dimension `dim` in the sweep length list. Negative numbers would
// silently address a dimension counted from the end, so only 0 .. size-1 are accepted.
Py_ssize_t dimension_index(PyObject* lengths, PyObject* dim) {
  Py_ssize_t size = size_of(lengths);
  Ref index = require(PyNumber_Index(dim));
  Py_ssize_t position = PyLong_AsSsize_t(index.get());
  if (position == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    position = size;  // out of range either way
  }
  if (position < 0 || position >= size) {
    raise_formatted(
        PyExc_IndexError,
        require(PyUnicode_FromFormat(
            "sweep dimension %S is out of range for a sweep of %zd dimensions", dim, size)));
  }
  return position;
}

class Compilation {
 public:
  Compilation(State& st, PyObject* self, PyObject* timestamp)
      : st_(st), self_(self), timestamp_(timestamp) {}

  void run(PyObject* group) {
    if (group != Py_None) {
      set_attr(self_, st_.group, group);
    }
    Ref current = core::group_of(st_, self_);
    if (current.get() == Py_None) {
      raise_catalogue(st_, st_.exp_group_not_set);
    }
    Ref evaluator = read_private(st_, self_, st_.p_script_evaluator);
    Ref group_now = core::group_of(st_, self_);
    set_attr(evaluator.get(), st_.group, group_now.get());
    set_attr(self_, st_.p_compile_space_timestamp, timestamp_);

    size_sweep();
    compile_space_parameters();
    call_method_kw(self_, st_.fill_empty_wave_gates, st_.kw_space_timestamp, {}, {timestamp_});
    compile_waveform_scripts();
    finalise();
    set_attr(self_, st_.p_compiled, Py_True);
  }

 private:
  Ref evaluate(PyObject* script) {
    Ref evaluator = read_private(st_, self_, st_.p_script_evaluator);
    return call_method_kw(evaluator.get(), st_.evaluate, st_.kw_timestamp, {script}, {timestamp_});
  }

  // Calls `body(key, script)` for each entry of the space-parameter store, in its order.
  template <typename Body>
  void for_each_space_script(Body&& body) {
    Ref store = read_private(st_, self_, st_.p_space_parameter_script);
    for_each_item(store.get(), st_.items, body);
  }

  // The sweep has at least three dimensions, more when a swept space parameter names one.
  void size_sweep() {
    Ref max_dim = from_ssize(0);
    Ref one = from_ssize(1);
    for_each_space_script([&](PyObject*, PyObject* script) {
      Ref result = evaluate(script);
      Ref type = item(result.get(), st_.type);
      Ref dim = item(result.get(), st_.dim);
      if (equals(type.get(), st_.seq)) {
        Ref next = require(PyNumber_Add(dim.get(), one.get()));
        if (compare(next.get(), max_dim.get(), Py_GT)) {
          max_dim = std::move(next);
        }
      }
    });
    Ref count = require(PyNumber_Index(max_dim.get()));
    Py_ssize_t dimensions = PyLong_AsSsize_t(count.get());
    if (dimensions == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      dimensions = kMaxSweepDimensions + 1;
    }
    if (dimensions > kMaxSweepDimensions) {
      raise_formatted(
          PyExc_RuntimeError,
          require(PyUnicode_FromFormat(
              "A sweep has at most %zd dimensions; a script sweeps dimension %S.",
              kMaxSweepDimensions, require(PyNumber_Subtract(max_dim.get(), one.get())).get())));
    }
    if (dimensions < 3) {
      dimensions = 3;
    }
    set_attr(self_, st_.p_compiled_sweep_len, core::new_sweep_len(dimensions).get());
    set_attr(self_, st_.p_compiled_sweep_dict, core::new_sweep_dict(dimensions).get());
  }

  void compile_space_parameters() {
    sweeping_space_key_ = require(PyList_New(0));
    for_each_space_script([&](PyObject* key_borrowed, PyObject* script_borrowed) {
      Ref key = Ref::borrow(key_borrowed);
      Ref script = Ref::borrow(script_borrowed);
      Ref result = evaluate(script.get());
      Ref type = item(result.get(), st_.type);
      Ref dim = item(result.get(), st_.dim);
      Ref val = item(result.get(), st_.val);
      Ref seq = item(result.get(), st_.seq);
      if (equals(type.get(), st_.val)) {
        Ref fixed = read_private(st_, self_, st_.p_compiled_space_parameter_dict);
        require_status(PyObject_SetItem(fixed.get(), key.get(), val.get()));
        Ref group = core::group_of(st_, self_);
        call_method(group.get(), st_.set_temporary_parameter, key.get(), val.get());
      } else if (equals(type.get(), st_.seq)) {
        require_normal_mode(
            "Current experiment is set as `batch_circuit` mode, hence cannot set space parameter "
            "script.");
        seq = plain_sequence(st_, seq.get());
        Ref length = from_ssize(size_of(seq.get()));
        Ref lengths = read_private(st_, self_, st_.p_compiled_sweep_len);
        Py_ssize_t index = dimension_index(lengths.get(), dim.get());
        Ref set_length = require(PySequence_GetItem(lengths.get(), index));
        if (equals(set_length.get(), one())) {
          require_status(PySequence_SetItem(lengths.get(), index, length.get()));
        } else if (!equals(set_length.get(), length.get())) {
          raise_catalogue(st_, st_.exp_wave_sweep_length_wrong, dim.get());
        }
        require_status(PyList_Append(sweeping_space_key_.get(), key.get()));
        Ref entry = require(PyDict_New());
        put(entry, st_.t, st_.p);
        put(entry, st_.key, key.get());
        put(entry, st_.value, seq.get());
        put(entry, st_.len, length.get());
        put(entry, st_.dim, dim.get());
        append_sweep_entry(dim.get(), entry.get());
      } else {
        raise_catalogue(st_, st_.exp_space_param_wrong, script.get());
      }
    });
  }

  void compile_waveform_scripts() {
    Ref swept = require(PySet_New(sweeping_space_key_.get()));
    Ref store = read_private(st_, self_, st_.p_waveform_script);
    for_each(store.get(), [&](PyObject* record) { compile_waveform_script(record, swept.get()); });
  }

  void compile_waveform_script(PyObject* record, PyObject* swept) {
    Ref script = item(record, st_.script);
    Ref result = evaluate(script.get());
    Ref val_type = item(result.get(), st_.type);
    Ref dim = item(result.get(), st_.dim);
    Ref val = item(result.get(), st_.val);
    Ref seq = item(result.get(), st_.seq);
    Ref use_space = item(result.get(), st_.use_space);

    // A script reading a swept space parameter is evaluated again at every step of a run.
    Ref re_compile = Ref::borrow(Py_False);
    if (size_of(use_space.get()) > 0 && shares_a_key(swept, use_space.get())) {
      re_compile = item(record, st_.script);
    }
    Ref wave_ids = target_waves(record);
    if (equals(val_type.get(), st_.val)) {
      Ref entry = require(PyDict_New());
      put(entry, st_.entity, item(record, st_.entity).get());
      put(entry, st_.layer, record_layer(record).get());
      put(entry, st_.wave_ids, wave_ids.get());
      put(entry, st_.parameter, item(record, st_.parameter).get());
      put(entry, st_.value, val.get());
      put(entry, st_.re_compile, re_compile.get());
      Ref fixed = read_private(st_, self_, st_.p_compiled_waveform_parameter_list);
      append_to(st_, fixed.get(), entry.get());
    } else if (equals(val_type.get(), st_.seq)) {
      record_waveform_sweep(record, dim.get(), seq.get(), wave_ids.get(), re_compile.get());
    } else {
      Ref separator = require(PyUnicode_FromString(", "));
      Ref texts = require(PyList_New(0));
      for_each(wave_ids.get(), [&](PyObject* id) {
        require_status(PyList_Append(texts.get(), require(PyObject_Str(id)).get()));
      });
      Ref joined = require(PyUnicode_Join(separator.get(), texts.get()));
      raise_catalogue(st_, st_.exp_wave_param_wrong, joined.get(), item(record, st_.layer).get(),
                      item(record, st_.entity).get());
    }
  }

  bool shares_a_key(PyObject* swept, PyObject* use_space) {
    bool shared = false;
    for_each(use_space, [&](PyObject* key) {
      shared = shared || require_status(PySet_Contains(swept, key)) != 0;
    });
    return shared;
  }

  Ref record_layer(PyObject* record) {
    Ref layer = item(record, st_.layer);
    return require(PyNumber_Long(layer.get()));
  }

  // The ids of the waves a record's script sets, resolved on the first gate found at the
  // record's entity and layer in the experiment's own circuit.
  Ref target_waves(PyObject* record) {
    Ref entity = item(record, st_.entity);
    Ref layer = record_layer(record);
    Ref circuit = core::circuit_of(st_, self_);
    Ref gates = call_method(circuit.get(), st_.search_gates, entity.get(), layer.get());
    if (gates.get() == Py_None || size_of(gates.get()) == 0) {
      raise_formatted(PyExc_RuntimeError,
                      require(PyUnicode_FromFormat("Cannot find gate on %S layer %S.", entity.get(),
                                                   item(record, st_.layer).get())));
    }
    Ref gate = require(PySequence_GetItem(gates.get(), 0));
    Ref wave_ids = item(record, st_.wave_ids);
    if (wave_ids.get() == Py_None || size_of(wave_ids.get()) == 0) {
      return search_waves(record, gate.get());
    }
    Ref wave_count = from_ssize(size_of(get_attr(gate.get(), st_.waves).get()));
    Ref zero = from_ssize(0);
    for_each(wave_ids.get(), [&](PyObject* id) {
      if (compare(id, wave_count.get(), Py_GE) || compare(id, zero.get(), Py_LT)) {
        raise_formatted(PyExc_RuntimeError,
                        require(PyUnicode_FromFormat(
                            "Cannot find wave with ID %S in gate %S (layer %S @ %S).", id,
                            get_attr(gate.get(), st_.gate_name).get(),
                            item(record, st_.layer).get(), item(record, st_.entity).get())));
      }
    });
    return wave_ids;
  }

  Ref search_waves(PyObject* record, PyObject* gate) {
    Ref search_type = item(record, st_.search_type);
    if (equals(search_type.get(), st_.name)) {
      if (Ref names = optional_item(record, st_.wave_names)) {
        return search_by(record, gate, names.get(), st_.kw_wave_name,
                         "No wave found by wave_names %S on gate %S (%S layer %S).");
      }
    }
    if (equals(search_type.get(), st_.channel)) {
      if (Ref channels = optional_item(record, st_.channels)) {
        return search_by(record, gate, channels.get(), st_.kw_channel,
                         "No wave found by channels %S on gate %S(%S layer %S).");
      }
    }
    raise_formatted(PyExc_RuntimeError,
                    require(PyUnicode_FromFormat("Cannot set waveform script for %S, because no "
                                                 "wave_id, channel or wave_name is specified.",
                                                 record)));
  }

  // The record's value under `key` when the key is present and the value is not None.
  Ref optional_item(PyObject* record, PyObject* key) {
    if (!require_status(PySequence_Contains(record, key))) {
      return Ref();
    }
    Ref value = item(record, key);
    return value.get() == Py_None ? Ref() : std::move(value);
  }

  Ref search_by(PyObject* record, PyObject* gate, PyObject* selectors, PyObject* keyword,
                const char* not_found) {
    Ref found = require(PySet_New(nullptr));
    for_each(selectors, [&](PyObject* selector) {
      Ref ids = call_method_kw(gate, st_.search_wave, keyword, {}, {selector});
      for_each(ids.get(), [&](PyObject* id) { require_status(PySet_Add(found.get(), id)); });
    });
    Ref ids = require(PySequence_List(found.get()));
    if (PyList_GET_SIZE(ids.get()) == 0) {
      raise_formatted(PyExc_RuntimeError,
                      require(PyUnicode_FromFormat(
                          not_found, selectors, get_attr(gate, st_.gate_name).get(),
                          item(record, st_.entity).get(), item(record, st_.layer).get())));
    }
    return ids;
  }

  void record_waveform_sweep(PyObject* record, PyObject* dim_result, PyObject* seq_result,
                             PyObject* wave_ids, PyObject* re_compile) {
    require_normal_mode(
        "Current experiment is set as `batch_circuit` mode, hence cannot set waveform script.");
    Ref seq = plain_sequence(st_, seq_result);
    Ref dim = Ref::borrow(dim_result);
    if ((PyList_Check(dim.get()) || PyTuple_Check(dim.get())) && size_of(dim.get()) == 1) {
      dim = require(PySequence_GetItem(dim.get(), 0));
    }
    Ref target;
    if (PyLong_Check(dim.get())) {
      Ref length = from_ssize(size_of(seq.get()));
      bind_length(dim.get(), dim.get(), length.get(), length.get());
      target = Ref::borrow(dim.get());
    } else if (PyList_Check(dim.get()) || PyTuple_Check(dim.get())) {
      Ref dims = require(PySequence_Tuple(dim.get()));
      Py_ssize_t count = PyTuple_GET_SIZE(dims.get());
      check_dimension_order(dim.get(), dims.get());
      if (count != 2 && count != 3) {
        raise(PyExc_RuntimeError, "Dimension of sweep len must be 1, 2 or 3.");
      }
      Ref array = call(st_.np_array, seq.get());
      Ref shape = require(PySequence_Tuple(get_attr(array.get(), st_.shape).get()));
      Ref outer = from_ssize(size_of(seq.get()));
      for (Py_ssize_t axis = 0; axis < count; ++axis) {
        // Axis k of the sequence belongs to the k-th listed dimension, as the run loop reads it.
        if (axis >= PyTuple_GET_SIZE(shape.get())) {
          raise_formatted(PyExc_IndexError,
                          require(PyUnicode_FromFormat(
                              "the sequence swept over dimensions %S has only %zd axes", dim.get(),
                              PyTuple_GET_SIZE(shape.get()))));
        }
        bind_length(PyTuple_GET_ITEM(dims.get(), axis), dim.get(),
                    PyTuple_GET_ITEM(shape.get(), axis), outer.get());
      }
      target = Ref::borrow(PyTuple_GET_ITEM(dims.get(), count - 1));
    } else {
      Ref type_text = require(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(dim.get()))));
      raise_formatted(PyExc_RuntimeError,
                      require(PyUnicode_FromFormat("Unknown dimension type (%U): %S",
                                                   type_text.get(), dim.get())));
    }
    Ref entry = require(PyDict_New());
    put(entry, st_.t, st_.w);
    put(entry, st_.entity, item(record, st_.entity).get());
    put(entry, st_.layer, record_layer(record).get());
    put(entry, st_.wave_ids, wave_ids);
    put(entry, st_.parameter, item(record, st_.parameter).get());
    put(entry, st_.value, seq.get());
    put(entry, st_.len, from_ssize(size_of(seq.get())).get());
    put(entry, st_.re_compile, re_compile);
    put(entry, st_.dim, dim.get());
    append_sweep_entry(target.get(), entry.get());
  }

  void check_dimension_order(PyObject* dim, PyObject* dims) {
    Py_ssize_t count = PyTuple_GET_SIZE(dims);
    PyObject* first = count > 0 ? PyTuple_GET_ITEM(dims, 0) : nullptr;
    PyObject* second = count > 1 ? PyTuple_GET_ITEM(dims, 1) : nullptr;
    if (count == 2 && compare(first, second, Py_GT)) {
      raise_formatted(
          PyExc_RuntimeError,
          require(PyUnicode_FromFormat("Lower sweeping dimensions should be at the front of the "
                                       "tuple, e.g. (%S, %S), instead of %S.",
                                       second, first, dim)));
    }
    if (count == 3 &&
        (compare(first, second, Py_GT) || compare(second, PyTuple_GET_ITEM(dims, 2), Py_GT))) {
      Ref sorted = require(PySequence_List(dims));
      require_status(PyList_Sort(sorted.get()));
      raise_formatted(
          PyExc_RuntimeError,
          require(PyUnicode_FromFormat("Lower sweeping dimensions should be at the front of the "
                                       "tuple, e.g. %S, instead of %S.",
                                       sorted.get(), dim)));
    }
  }

  // Sets the length of sweep dimension `dim` on first use, else checks it; `reported_dim` and
  // `reported_length` are what the mismatch message names.
  void bind_length(PyObject* dim, PyObject* reported_dim, PyObject* length,
                   PyObject* reported_length) {
    Ref lengths = read_private(st_, self_, st_.p_compiled_sweep_len);
    Py_ssize_t index = dimension_index(lengths.get(), dim);
    Ref current = require(PySequence_GetItem(lengths.get(), index));
    if (equals(current.get(), one())) {
      require_status(PySequence_SetItem(lengths.get(), index, length));
    } else if (!equals(current.get(), length)) {
      raise_catalogue(st_, st_.exp_step_len_wrong, reported_dim, reported_length, current.get());
    }
  }

  void finalise() {
    Ref lengths = read_private(st_, self_, st_.p_compiled_sweep_len);
    if (mode_is_normal()) {
      Ref first = require(PySequence_GetItem(lengths.get(), 0));
      Ref second = require(PySequence_GetItem(lengths.get(), 1));
      Ref third = require(PySequence_GetItem(lengths.get(), 2));
      // Swept dimensions fill the sweep from the front.
      if ((equals(second.get(), one()) && compare(third.get(), one(), Py_GT)) ||
          (equals(first.get(), one()) && compare(second.get(), one(), Py_GT))) {
        raise_catalogue(st_, st_.exp_sweep_dim_wrong);
      }
      Ref steps = from_ssize(1);
      Ref zero = from_ssize(0);
      for (PyObject* length : {first.get(), second.get(), third.get()}) {
        if (!equals(length, zero.get())) {
          steps = require(PyNumber_Multiply(steps.get(), length));
        }
      }
      set_attr(self_, st_.p_total_sweep_steps, steps.get());
      return;
    }
    Ref circuits = core::batch_circuits_of(st_, self_);
    Py_ssize_t count = size_of(circuits.get());
    Ref n = from_ssize(count);
    require_status(PySequence_SetItem(lengths.get(), 0, n.get()));
    set_attr(self_, st_.p_total_sweep_steps, n.get());
    Ref ids = require(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyList_SET_ITEM(ids.get(), i, from_ssize(i).release());
    }
    Ref entry = require(PyDict_New());
    put(entry, st_.t, st_.c);
    put(entry, st_.len, n.get());
    put(entry, st_.dim, from_ssize(0).get());
    put(entry, st_.value, ids.get());
    put(entry, st_.key, st_.circuit_id);
    Ref sweep = read_private(st_, self_, st_.p_compiled_sweep_dict);
    Ref entries = require(PyList_New(1));
    PyList_SET_ITEM(entries.get(), 0, entry.release());
    require_status(PyObject_SetItem(sweep.get(), from_ssize(0).get(), entries.get()));
  }

  bool mode_is_normal() {
    Ref mode = core::exp_mode_of(st_, self_);
    return equals(mode.get(), st_.normal);
  }

  void require_normal_mode(const char* message) {
    Ref mode = core::exp_mode_of(st_, self_);
    if (equals(mode.get(), st_.batch_circuit)) {
      raise(PyExc_RuntimeError, message);
    }
  }

  void append_sweep_entry(PyObject* dim, PyObject* entry) {
    Ref sweep = read_private(st_, self_, st_.p_compiled_sweep_dict);
    Ref entries = item(sweep.get(), dim);
    append_to(st_, entries.get(), entry);
  }

  static void put(const Ref& record, PyObject* key, PyObject* value) {
    require_status(PyDict_SetItem(record.get(), key, value));
  }

  PyObject* one() {
    if (!one_) {
      one_ = from_ssize(1);
    }
    return one_.get();
  }

  State& st_;
  PyObject* self_;
  PyObject* timestamp_;
  Ref sweeping_space_key_;
  Ref one_;
};

}  // namespace

void compile_scripts(State& st, PyObject* self, PyObject* group, PyObject* space_timestamp) {
  Ref timestamp = int_param("space_timestamp", space_timestamp, true);
  Compilation(st, self, timestamp.get()).run(group);
}

}  // namespace varnok::compilation
