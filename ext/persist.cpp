#include "persist.hpp"

#include "calls.hpp"
#include "core.hpp"
#include "editing.hpp"

namespace varnok::persist {
namespace {

bool has_key(PyObject* mapping, PyObject* key) {
  return require_status(PySequence_Contains(mapping, key)) != 0;
}

// `mapping[key]` when the key is present, else `fallback()`.
template <typename Fallback>
Ref item_or(PyObject* mapping, PyObject* key, Fallback&& fallback) {
  if (has_key(mapping, key)) {
    return require(PyObject_GetItem(mapping, key));
  }
  return fallback();
}

Ref item(PyObject* mapping, PyObject* key) {
  return require(PyObject_GetItem(mapping, key));
}

// Option values become keyword arguments, as `set_options(**options)` would receive them.
Ref keyword_arguments(PyObject* options) {
  if (!PyDict_Check(options)) {
    int has_keys = PyObject_HasAttrString(options, "keys");
    if (!has_keys) {
      PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                   Py_TYPE(options)->tp_name);
      throw_error_set();
    }
  }
  Ref keywords = require(PyDict_New());
  require_status(PyDict_Merge(keywords.get(), options, 1));
  return keywords;
}

Ref restore_circuit(State& st, PyObject* data) {
  return call_method(st.WaveCircuit, st.deserialize, data);
}

void replay_waveform_script(State& st, PyObject* exp, PyObject* record) {
  Ref entity = item(record, st.entity);
  Ref layer = require(PyNumber_Long(item(record, st.layer).get()));
  Ref parameter = item(record, st.parameter);
  Ref script = item(record, st.script);

  // The selection a record names, when it names one: (search type, key of the selection).
  struct Selection {
    PyObject* search_type;
    PyObject* key;
    PyObject* setter;
  };
  const Selection selections[] = {
      {st.channel, st.channels, st.set_waveform_script_by_channel},
      {st.name, st.wave_names, st.set_waveform_script_by_name},
      {st.ids, st.wave_ids, st.set_waveform_script_by_ids},
  };
  for (const Selection& selection : selections) {
    Ref search_type = item(record, st.search_type);
    if (!equals(search_type.get(), selection.search_type) || !has_key(record, selection.key) ||
        item(record, selection.key).get() == Py_None) {
      continue;
    }
    // Read again for the call, as the record may hand out a different object each time.
    Ref waves = item(record, selection.key);
    if (selection.key == st.wave_ids) {
      waves = editing::normalise_wave_ids(waves.get(), layer.get(), entity.get());
    }
    call_method(exp, selection.setter, entity.get(), layer.get(), waves.get(), parameter.get(),
                script.get());
    return;
  }
  Ref message = require(PyUnicode_FromFormat(
      "Waveform script of %S on layer %S does not indicate wave_names, channels or wave_ids.",
      entity.get(), layer.get()));
  raise_object(PyExc_RuntimeError, message.get());
}

// Clears the group's temporary parameters after a failed trial compilation. Returns nothing on
// success; when clearing fails too, its error is dropped and a note describing it returned.
Ref clear_after_failed_trial(State& st, PyObject* self) noexcept {
  Ref group = Ref::steal(PyObject_GetAttr(self, st.group));
  Ref cleared =
      group ? Ref::steal(PyObject_CallMethodNoArgs(group.get(), st.clear_temporary_parameters))
            : Ref();
  if (cleared) {
    return Ref();
  }
  SavedError clearing;
  Ref note =
      Ref::steal(PyUnicode_FromFormat("the group's temporary parameters could not be cleared: %R",
                                      clearing.value() != nullptr ? clearing.value() : Py_None));
  clearing.discard();
  PyErr_Clear();  // without the note, the compilation error still goes out
  return note;
}

}  // namespace

Ref serialize(State& st, PyObject* self) {
  Ref batch_value = Ref::borrow(Py_None);
  Ref batch = read_private(st, self, st.p_batch_circuits);
  if (batch.get() != Py_None) {
    batch_value = require(PyList_New(0));
    for_each(batch.get(), [&](PyObject* circuit) {
      require_status(PyList_Append(batch_value.get(), call_method(circuit, st.serialize).get()));
    });
  }
  Ref data = require(PyDict_New());
  auto put = [&](const char* key, Ref value) {
    require_status(PyDict_SetItemString(data.get(), key, value.get()));
  };
  put("title", get_attr(self, st.title));
  put("desc", get_attr(self, st.desc));
  put("exp_mode", core::exp_mode_of(st, self));
  Ref template_value = get_attr(self, st.template_);
  put("template", template_value.get() == Py_None ? require(PyUnicode_FromString(""))
                                                  : std::move(template_value));
  put("template_data", get_attr(self, st.template_data));
  put("space", get_attr(self, st.space));
  put("wave_circuit", call_method(core::circuit_of(st, self).get(), st.serialize));
  put("batch_circuit", std::move(batch_value));
  put("waveform_script", read_private(st, self, st.p_waveform_script));
  put("space_parameter_script", read_private(st, self, st.p_space_parameter_script));
  put("options", read_private(st, self, st.p_options));
  put("info", get_attr(self, st.info));
  put("attachment", get_attr(self, st.attachment));
  return data;
}

Ref deserialize(State& st, PyObject* data, PyObject* group) {
  Ref title = item(data, st.title);
  Ref desc = item(data, st.desc);
  Ref exp = call(st.experiment_type, title.get(), desc.get());
  PyObject* self = exp.get();

  set_attr(self, st.template_,
           item_or(data, st.template_, [] { return require(PyUnicode_FromString("")); }).get());
  set_attr(self, st.template_data,
           item_or(data, st.template_data, [] { return Ref::borrow(Py_None); }).get());
  set_attr(self, st.attachment,
           item_or(data, st.attachment, [] { return require(PyDict_New()); }).get());
  set_attr(self, st.info, item_or(data, st.info, [] { return require(PyDict_New()); }).get());

  Ref keywords = keyword_arguments(item(data, st.options).get());
  Ref set_options = get_attr(self, st.set_options);
  Ref no_arguments = require(PyTuple_New(0));
  require(PyObject_Call(set_options.get(), no_arguments.get(), keywords.get()));

  if (group != Py_None) {
    set_attr(self, st.group, group);
  }

  bool batch =
      has_key(data, st.exp_mode) && equals(item(data, st.exp_mode).get(), st.batch_circuit);
  if (!batch) {
    call_method(self, st.set_circuit, restore_circuit(st, item(data, st.wave_circuit).get()).get());
  } else {
    // The experiment's own circuit is where waveform scripts find their gates, also in batch
    // mode, so it is restored before the batch circuits.
    if (has_key(data, st.wave_circuit)) {
      Ref own = item(data, st.wave_circuit);
      if (own.get() != Py_None) {
        call_method(self, st.set_circuit, restore_circuit(st, own.get()).get());
      }
    }
    Ref circuits = item(data, st.batch_circuit_key);
    for_each(circuits.get(), [&](PyObject* circuit) {
      call_method(self, st.append_circuit, restore_circuit(st, circuit).get());
    });
  }

  Ref space_scripts = item(data, st.space_parameter_script);
  for_each_item(space_scripts.get(), st.items, [&](PyObject* key, PyObject* script) {
    call_method(self, st.set_space_parameter_script, key, script);
  });

  Ref records = item(data, st.waveform_script);
  for_each(records.get(), [&](PyObject* record) { replay_waveform_script(st, self, record); });
  return exp;
}

Ref clone(State& st, PyObject* self) {
  Ref data = call_method(self, st.serialize);
  return call_method(self, st.deserialize, data.get());
}

void valid(State& st, PyObject* self) {
  Ref group = core::group_of(st, self);
  if (group.get() == Py_None) {
    raise(PyExc_RuntimeError, "Group is not set.");
  }
  Ref trial = call_method(self, st.clone);
  Ref trial_group = core::group_of(st, self);
  PyObject* args[] = {trial.get(), trial_group.get()};
  Ref compiled = Ref::steal(PyObject_VectorcallMethod(st.compile_scripts, args, 1, st.kw_group));
  if (compiled) {
    call_method(core::group_of(st, self).get(), st.clear_temporary_parameters);
    return;
  }
  // A failed trial must not leave its temporary parameters on the shared group either: they
  // would silently change later runs. The compilation error is what the caller sees.
  SavedError failure;
  Ref note = clear_after_failed_trial(st, self);
  failure.restore();
  add_note_to_pending(note.get());
  throw_error_set();
}

}  // namespace varnok::persist
