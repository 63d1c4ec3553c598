#include "run.hpp"

#include <algorithm>

#include "args.hpp"
#include "calls.hpp"
#include "core.hpp"
#include "read_memo.hpp"

namespace varnok::run {
namespace {

Ref from_ssize(Py_ssize_t value) {
  return require(PyLong_FromSsize_t(value));
}

// `sequence[0]`.
Ref first_of(PyObject* sequence) {
  if (PyList_CheckExact(sequence) && PyList_GET_SIZE(sequence) > 0) {
    return Ref::borrow(PyList_GET_ITEM(sequence, 0));
  }
  return require(PySequence_GetItem(sequence, 0));
}

// `container[index]`, with a fast path for a list indexed by an int within its bounds.
Ref index_into(PyObject* container, PyObject* index) {
  if (PyList_CheckExact(container) && PyLong_CheckExact(index)) {
    int overflow = 0;
    long position = PyLong_AsLongAndOverflow(index, &overflow);
    Py_ssize_t size = PyList_GET_SIZE(container);
    if (overflow == 0 && position < 0) {
      position += size;
    }
    if (overflow == 0 && position >= 0 && position < size) {
      return Ref::borrow(PyList_GET_ITEM(container, position));
    }
  }
  return require(PyObject_GetItem(container, index));
}

// The first gate at the entry's entity and layer of `circuit`.
Ref find_gate(State& st, ReadMemo& memo, PyObject* circuit, PyObject* entry) {
  Ref entity = memo.item(entry, st.entity);
  Ref layer = memo.item(entry, st.layer);
  if (!PyLong_CheckExact(layer.get())) {
    layer = require(PyNumber_Long(layer.get()));
  }
  Ref gates = call_method(circuit, st.search_gates, entity.get(), layer.get());
  return first_of(gates.get());
}

bool try_set_in(PyObject* wave, PyObject* mapping_name, PyObject* parameter, PyObject* value) {
  Ref mapping = get_attr(wave, mapping_name);
  if (PyDict_CheckExact(mapping.get())) {
    if (!require_status(PyDict_Contains(mapping.get(), parameter))) {
      return false;
    }
    require_status(PyDict_SetItem(mapping.get(), parameter, value));
    return true;
  }
  if (!require_status(PySequence_Contains(mapping.get(), parameter))) {
    return false;
  }
  require_status(PyObject_SetItem(mapping.get(), parameter, value));
  return true;
}

// Writes `value` for `parameter` into the gate's waves named by `wave_ids`: a waveform
// parameter first, then a compiler setting, then the wave's own start or amplitude ratio.
void apply_wave_value(State& st, PyObject* gate, PyObject* wave_ids, PyObject* parameter,
                      PyObject* value) {
  for_each(wave_ids, [&](PyObject* id) {
    Ref waves = get_attr(gate, st.waves);
    Ref wave = index_into(waves.get(), id);
    if (try_set_in(wave.get(), st.wave_parameters, parameter, value) ||
        try_set_in(wave.get(), st.waveform_compiler_config, parameter, value)) {
      return;
    }
    if (equals(parameter, st.t0)) {
      set_attr(wave.get(), st.t0, value);
    } else if (equals(parameter, st.ratio)) {
      set_attr(wave.get(), st.ratio, value);
    } else {
      raise_catalogue(st, st.exp_wave_para_invalid, parameter);
    }
  });
}

// Writes an entry's value (or `value`, when given) into the waves of its gate in `circuit`.
void apply_entry(State& st, ReadMemo& memo, PyObject* circuit, PyObject* entry, PyObject* value) {
  Ref gate = find_gate(st, memo, circuit, entry);
  Ref wave_ids = memo.item(entry, st.wave_ids);
  Ref parameter = memo.item(entry, st.parameter);
  apply_wave_value(st, gate.get(), wave_ids.get(), parameter.get(), value);
}

// What a callback's answer asks of the run.
struct Answer {
  Ref result;  // a Result returned under "result", if any
  bool interrupt = false;
};

Answer read_answer(State& st, PyObject* answer) {
  Answer read;
  if (!PyDict_Check(answer)) {
    return read;
  }
  if (require_status(PySequence_Contains(answer, st.result))) {
    Ref result = require(PyObject_GetItem(answer, st.result));
    if (require_status(PyObject_IsInstance(result.get(), st.Result))) {
      read.result = std::move(result);
    }
  }
  if (require_status(PySequence_Contains(answer, st.interrupt))) {
    Ref interrupt = require(PyObject_GetItem(answer, st.interrupt));
    read.interrupt = interrupt.get() == Py_True;
  }
  return read;
}

// One run of either loop: the position list, the step counter and the callback contract.
class Run {
 public:
  Run(State& st, PyObject* self, PyObject* callback, PyObject* options)
      : st_(st), self_(self), callback_(callback), options_(options) {
    position_ = require(PyList_New(3));
    for (Py_ssize_t i = 0; i < 3; ++i) {
      PyList_SET_ITEM(position_.get(), i, from_ssize(0).release());
    }
  }

  PyObject* position() const { return position_.get(); }

  void set_position(Py_ssize_t dimension, Py_ssize_t index) {
    require_status(PyList_SetItem(position_.get(), dimension, from_ssize(index).release()));
  }

  // Hands one wave package to the callback and counts the step.
  Answer deliver(PyObject* wave_package) {
    Ref steps = from_ssize(steps_);
    PyObject* args[] = {wave_package, self_, position_.get(), steps.get(), options_};
    Ref answer = require(PyObject_Vectorcall(callback_, args, 0, st_.callback_kwnames));
    ++steps_;
    return read_answer(st_, answer.get());
  }

  // The merged result of a run of several steps.
  Ref new_result() {
    Ref dims = core::read_property(st_, self_, st_.compiled_sweep_len, core::compiled_sweep_len);
    PyObject* args[] = {Py_False, Py_False, zero(), zero(), dims.get()};
    return require(PyObject_Vectorcall(st_.Result, args, 0, st_.result_kwnames));
  }

  // Merges a step's answer into `result`; true when the callback asked to stop.
  bool merge(PyObject* result, const Answer& answer) {
    if (answer.result) {
      call_method(result, st_.concatenate, answer.result.get());
    }
    return answer.interrupt;
  }

 private:
  PyObject* zero() {
    if (!zero_) {
      zero_ = from_ssize(0);
    }
    return zero_.get();
  }

  State& st_;
  PyObject* self_;
  PyObject* callback_;
  PyObject* options_;
  Ref position_;
  Ref zero_;
  Py_ssize_t steps_ = 0;
};

// Entry `index` of the sweep length list as a loop bound: at least 1.
Py_ssize_t sweep_bound(State& st, PyObject* self, Py_ssize_t index) {
  Ref lengths = read_private(st, self, st.p_compiled_sweep_len);
  Ref length = require(PySequence_GetItem(lengths.get(), index));
  Py_ssize_t bound = PyNumber_AsSsize_t(length.get(), PyExc_OverflowError);
  if (bound == -1 && PyErr_Occurred()) {
    throw_error_set();
  }
  return std::max<Py_ssize_t>(bound, 1);
}

bool runs_several_steps(State& st, PyObject* self) {
  Ref lengths = read_private(st, self, st.p_compiled_sweep_len);
  Ref first = require(PySequence_GetItem(lengths.get(), 0));
  Ref one = from_ssize(1);
  return require_status(PyObject_RichCompareBool(first.get(), one.get(), Py_GT)) != 0;
}

void compile_if_needed(State& st, PyObject* self, PyObject* group, PyObject* space_timestamp) {
  // Only the value False itself means "not compiled"; any other value counts as compiled.
  Ref compiled = read_private(st, self, st.p_compiled);
  if (compiled.get() != Py_False) {
    return;
  }
  Ref chosen = group != Py_None ? Ref::borrow(group) : core::group_of(st, self);
  call_method_kw(self, st.compile_scripts, st.kw_group_space_timestamp, {},
                 {chosen.get(), space_timestamp});
}

void install_space_parameters(State& st, PyObject* self) {
  Ref fixed = core::read_property(st, self, st.compiled_space_parameter_dict,
                                  core::compiled_space_parameter_dict);
  for_each_item(fixed.get(), st.items, [&](PyObject* key, PyObject* value) {
    Ref group = core::group_of(st, self);
    call_method(group.get(), st.set_temporary_parameter, key, value);
  });
}

// The value an entry sweeps to at the current position.
Ref step_value(State& st, ReadMemo& memo, PyObject* entry, PyObject* position) {
  Ref values = memo.item(entry, st.value);
  Ref dim = memo.item(entry, st.dim);
  if (PyList_Check(dim.get()) || PyTuple_Check(dim.get())) {
    Ref array = call(st.np_array, values.get());
    Ref dims = require(PySequence_Tuple(dim.get()));
    Py_ssize_t count = PyTuple_GET_SIZE(dims.get());
    Ref index = require(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* at = require(PyObject_GetItem(position, PyTuple_GET_ITEM(dims.get(), i))).release();
      PyTuple_SET_ITEM(index.get(), i, at);
    }
    return require(PyObject_GetItem(array.get(), index.get()));
  }
  Ref at = index_into(position, dim.get());
  return index_into(values.get(), at.get());
}

void apply_sweep(State& st, ReadMemo& memo, PyObject* self, PyObject* position) {
  Ref sweep = memo.private_attr(self, st.p_compiled_sweep_dict);
  for_each_item(sweep.get(), st.items, [&](PyObject*, PyObject* entries) {
    for_each(entries, [&](PyObject* entry) {
      Ref value = step_value(st, memo, entry, position);
      Ref type = memo.item(entry, st.t);
      // The compiled tags are the interned names themselves; anything else compares by value.
      const bool space = type.get() == st.p || (type.get() != st.w && equals(type.get(), st.p));
      if (space) {
        Ref key = memo.item(entry, st.key);
        Ref group = memo.property(self, st.group, st.p_group);
        call_method(group.get(), st.set_temporary_parameter, key.get(), value.get());
      } else if (equals(type.get(), st.w)) {
        Ref circuit = memo.property(self, st.circuit, st.p_wave_circuit);
        apply_entry(st, memo, circuit.get(), entry, value.get());
      } else {
        raise_catalogue(st, st.exp_sweep_failed);
      }
    });
  });
}

void reevaluate(State& st, ReadMemo& memo, PyObject* self, PyObject* re_compile_list) {
  for_each(re_compile_list, [&](PyObject* entry) {
    Ref script = memo.item(entry, st.re_compile);
    Ref evaluator = memo.private_attr(self, st.p_script_evaluator);
    Ref timestamp = memo.private_attr(self, st.p_compile_space_timestamp);
    Ref result = call_method_kw(evaluator.get(), st.evaluate, st.kw_timestamp, {script.get()},
                                {timestamp.get()});
    // The evaluator's answer is a new dict at every step: read, never remembered.
    Ref value = get_item(result.get(), st.val);
    Ref circuit = memo.property(self, st.circuit, st.p_wave_circuit);
    apply_entry(st, memo, circuit.get(), entry, value.get());
  });
}

Ref export_package(State& st, PyObject* circuit) {
  return call_method(circuit, st.export_wave_package);
}

// The single-step run: one package, and the callback's result returned as it is.
Ref single_step(State& st, Run& run, PyObject* circuit) {
  Ref package = export_package(st, circuit);
  Answer answer = run.deliver(package.get());
  return answer.result ? std::move(answer.result) : Ref::borrow(Py_None);
}

void check_run_arguments(PyObject* options, PyObject* space_timestamp, Ref& timestamp) {
  check_dict_param("options", options);
  timestamp = int_param("space_timestamp", space_timestamp, true);
}

}  // namespace

Ref run_exp(State& st, PyObject* self, PyObject* callback, PyObject* options, PyObject* group) {
  check_dict_param("options", options);
  if (group != Py_None) {
    set_attr(self, st.group, group);
  }
  Ref timestamp = Ref::borrow(Py_None);
  if (options != Py_None) {
    PyObject* given = PyDict_GetItemWithError(options, st.space_timestamp);
    if (given == nullptr && PyErr_Occurred()) {
      throw_error_set();
    }
    if (given != nullptr && given != Py_None) {
      timestamp = require(PyNumber_Long(given));
    }
  }
  call_method_kw(self, st.fill_empty_wave_gates, st.kw_space_timestamp, {}, {timestamp.get()});
  Ref batch = read_private(st, self, st.p_batch_circuits);
  PyObject* loop = batch.get() != Py_None ? st.run_exp_batch_circuit : st.run_exp_normal;
  return call_method_kw(self, loop, st.kw_space_timestamp, {callback, options, group},
                        {timestamp.get()});
}

Ref run_exp_normal(State& st, PyObject* self, PyObject* callback, PyObject* options,
                   PyObject* group, PyObject* space_timestamp) {
  Ref timestamp;
  check_run_arguments(options, space_timestamp, timestamp);
  compile_if_needed(st, self, group, timestamp.get());

  // The fixed values are read once; only the steps repeat their reads.
  ReadMemo once(st, false);
  Ref re_compile_list = require(PyList_New(0));
  Ref fixed = read_private(st, self, st.p_compiled_waveform_parameter_list);
  for_each(fixed.get(), [&](PyObject* entry) {
    Ref re_compile = get_item(entry, st.re_compile);
    if (is_true(re_compile.get())) {
      require_status(PyList_Append(re_compile_list.get(), entry));
    }
    Ref circuit = core::circuit_of(st, self);
    apply_entry(st, once, circuit.get(), entry, get_item(entry, st.value).get());
  });
  install_space_parameters(st, self);

  Run run(st, self, callback, options);
  if (!runs_several_steps(st, self)) {
    Ref circuit = core::circuit_of(st, self);
    return single_step(st, run, circuit.get());
  }
  Ref result = run.new_result();
  ReadMemo memo(st);
  for (Py_ssize_t i = 0, end0 = sweep_bound(st, self, 0); i < end0; ++i) {
    run.set_position(0, i);
    for (Py_ssize_t j = 0, end1 = sweep_bound(st, self, 1); j < end1; ++j) {
      run.set_position(1, j);
      for (Py_ssize_t k = 0, end2 = sweep_bound(st, self, 2); k < end2; ++k) {
        run.set_position(2, k);
        // A long sweep stays interruptible from the keyboard whatever the callback is.
        require_status(PyErr_CheckSignals());
        memo.next_step();
        apply_sweep(st, memo, self, run.position());
        reevaluate(st, memo, self, re_compile_list.get());
        Ref circuit = memo.property(self, st.circuit, st.p_wave_circuit);
        Ref package = export_package(st, circuit.get());
        if (run.merge(result.get(), run.deliver(package.get()))) {
          return Ref::borrow(Py_True);
        }
      }
    }
  }
  return result;
}

Ref run_exp_batch_circuit(State& st, PyObject* self, PyObject* callback, PyObject* options,
                          PyObject* group, PyObject* space_timestamp) {
  Ref timestamp;
  check_run_arguments(options, space_timestamp, timestamp);
  compile_if_needed(st, self, group, timestamp.get());

  ReadMemo once(st, false);
  Ref circuits = core::batch_circuits_of(st, self);
  for_each(circuits.get(), [&](PyObject* circuit) {
    Ref fixed = read_private(st, self, st.p_compiled_waveform_parameter_list);
    for_each(fixed.get(), [&](PyObject* entry) {
      apply_entry(st, once, circuit, entry, get_item(entry, st.value).get());
    });
  });
  install_space_parameters(st, self);

  Run run(st, self, callback, options);
  if (!runs_several_steps(st, self)) {
    Ref batch = core::batch_circuits_of(st, self);
    Ref first = require(PySequence_GetItem(batch.get(), 0));
    return single_step(st, run, first.get());
  }
  Ref result = run.new_result();
  for (Py_ssize_t i = 0, end = sweep_bound(st, self, 0); i < end; ++i) {
    run.set_position(0, i);
    require_status(PyErr_CheckSignals());
    Ref batch = core::batch_circuits_of(st, self);
    Ref circuit = require(PySequence_GetItem(batch.get(), i));
    Ref package = export_package(st, circuit.get());
    if (run.merge(result.get(), run.deliver(package.get()))) {
      return Ref::borrow(Py_True);
    }
  }
  return result;
}

}  // namespace varnok::run
