// The member function type: a compiled function that behaves like a Python one.
//
// - As a class attribute it binds to instances as a plain function does
//   (`obj.start` is a bound method; no type test of `self`).
// - It is called through vectorcall and binds positional and keyword arguments
//   to its parameters with the interpreter's own wording for binding errors.
// - It carries __name__, __qualname__, __doc__, __annotations__, __defaults__,
//   a read-only __globals__ (the module namespace, where its annotation texts
//   are evaluated) and a __code__ describing its parameters, so
//   inspect.signature(), typing.get_type_hints() and help() see it as a function.
// - __module__ is the type's own, as for instances of a class: a descriptor of
//   that name would stand in the type's namespace and hide the type's module.
//   Set on a function, it goes to the function's __dict__.
// - Like a Python function it is copied as itself and pickled by reference
//   (its module and qualified name).
// - An exception leaving it gets a traceback entry naming the member.
// - Called after the module was finalised, it raises RuntimeError instead of
//   reaching a state that was cleared.
//
// The type is made at each load and kept in the module's state, cleared with
// it: a type readied once per process would outlive the interpreter it was
// readied in.
#include "function.hpp"

#include <structmember.h>

#include <cstddef>

#include "calls.hpp"
#include "globals.hpp"
#include "module_state.hpp"
#include "traceback.hpp"

namespace velmora {
namespace {

struct MemberFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MemberSpec* spec;
    Py_ssize_t n_params;       // self included
    Py_ssize_t n_required;
    PyObject* parameter_names; // tuple of interned names, matched against keywords
    PyObject* bound_defaults;  // the defaults calls use, taken from the table; __defaults__ only describes them
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* globals;         // the module namespace
    PyObject* code;            // parameters, for introspection
    PyObject* traceback_code;  // "<module>.<class>.<member>", for traceback entries
};

MemberFunction* as_function(PyObject* obj) { return reinterpret_cast<MemberFunction*>(obj); }

// One object field of the function, for the code that treats several alike.
using Field = PyObject* MemberFunction::*;

// "start() takes exactly 1 positional argument (2 given)"
PyObject* argument_count_error(const MemberFunction* func, Py_ssize_t given) {
    const MemberSpec& spec = *func->spec;
    const Py_ssize_t n = func->n_params;
    const Py_ssize_t r = func->n_required;
    const char* bound = r == n ? "exactly" : given < r ? "at least" : "at most";
    const Py_ssize_t count = (r != n && given < r) ? r : n;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound, count, count == 1 ? "" : "s", given);
    return nullptr;
}

constexpr Py_ssize_t kNoSuchParameter = -1;
constexpr Py_ssize_t kComparisonFailed = -2;  // with the exception set

// The parameter a keyword names. Keyword names are nearly always interned, like
// ours, so identity finds them; the keyword's own == is the fallback, as in the
// interpreter (a str subclass may define it).
Py_ssize_t parameter_index(const MemberFunction* func, PyObject* keyword) {
    PyObject* const* names = &PyTuple_GET_ITEM(func->parameter_names, 0);
    for (Py_ssize_t i = 0; i < func->n_params; ++i)
        if (names[i] == keyword) return i;
    for (Py_ssize_t i = 0; i < func->n_params; ++i) {
        const int equal = PyObject_RichCompareBool(keyword, names[i], Py_EQ);
        if (equal != 0) return equal > 0 ? i : kComparisonFailed;
    }
    return kNoSuchParameter;
}

PyObject* call_body(MemberFunction* func, PyObject* const* params) {
    // Members reach each other through attribute lookups that callers may
    // redirect; a cycle made of compiled calls only must end in RecursionError,
    // not in a stack overflow.
    if (Py_EnterRecursiveCall(" while calling an AddinServerManager member")) return nullptr;
    PyObject* result = func->spec->body->fn(params);
    Py_LeaveRecursiveCall();
    if (!result && state.module) add_traceback_entry(func->traceback_code, module_namespace());
    return result;
}

// The interpreter frees some objects only after the module's finalisation
// cleared the module's state (what a trace function, an audit hook or a
// codec search function held, collected last): a member such an object's
// __del__ reaches finds nothing to work with, and says so.
PyObject* finalised_error(const MemberSpec& spec) {
    PyErr_Format(PyExc_RuntimeError,
                 "AddinServerManager.%s cannot be used after its module was finalised with the interpreter",
                 spec.name);
    return nullptr;
}

PyObject* member_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    MemberFunction* self = as_function(callable);
    const MemberSpec& spec = *self->spec;
    if (!state.module) return finalised_error(spec);
    const Py_ssize_t n = self->n_params;
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n_keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (given > n || (n_keywords == 0 && given < self->n_required)) return argument_count_error(self, given);
    if (n_keywords == 0 && given == n) return call_body(self, args);  // every parameter given by position

    PyObject* bound[kMaxParams] = {};  // borrowed from the caller and the defaults
    for (Py_ssize_t i = 0; i < given; ++i) bound[i] = args[i];
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = parameter_index(self, keyword);
        if (index == kComparisonFailed) return nullptr;
        if (index == kNoSuchParameter) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, keyword);
            return nullptr;
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name,
                         keyword);
            return nullptr;
        }
        bound[index] = args[given + k];
    }
    for (Py_ssize_t i = 0; i < self->n_required; ++i) {
        if (!bound[i]) return argument_count_error(self, i);
    }
    for (Py_ssize_t i = self->n_required; i < n; ++i) {
        if (!bound[i]) bound[i] = PyTuple_GET_ITEM(self->bound_defaults, i - self->n_required);
    }

    return call_body(self, bound);
}

PyObject* member_descr_get(PyObject* func, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(func);
    return PyMethod_New(func, obj);
}

PyObject* member_repr(PyObject* func) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(func)->qualname, func);
}

// The fields that can close a reference cycle, besides the names: the
// collector visits and clears them all, so one list serves both.
constexpr Field kCollectedFields[] = {&MemberFunction::dict, &MemberFunction::doc, &MemberFunction::annotations,
                                      &MemberFunction::defaults, &MemberFunction::globals};

int member_traverse(PyObject* obj, visitproc visit, void* arg) {
    MemberFunction* f = as_function(obj);
    Py_VISIT(Py_TYPE(obj));
    for (Field field : kCollectedFields) Py_VISIT(f->*field);
    // A str subclass set as __name__ or __qualname__ can carry a __dict__ and so close a cycle.
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    return 0;
}

// As for Python functions, the names become empty texts rather than null, so
// that repr() and the getters keep working on a function the collector cleared.
int member_clear(PyObject* obj) {
    MemberFunction* f = as_function(obj);
    for (Field field : kCollectedFields) Py_CLEAR(f->*field);
    Py_SETREF(f->name, Py_GetConstant(Py_CONSTANT_EMPTY_STR));
    Py_SETREF(f->qualname, Py_GetConstant(Py_CONSTANT_EMPTY_STR));
    return 0;
}

void member_dealloc(PyObject* obj) {
    MemberFunction* f = as_function(obj);
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    if (f->weakrefs) PyObject_ClearWeakRefs(obj);
    member_clear(obj);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    Py_CLEAR(f->traceback_code);
    Py_CLEAR(f->parameter_names);
    Py_CLEAR(f->bound_defaults);
    PyObject_GC_Del(obj);
    Py_DECREF(type);
}

// Attributes. Getters answer None for a field the collector cleared; setters
// validate like those of Python functions.

// The getter of one field: `get_field<&MemberFunction::name>`.
template <Field field>
PyObject* get_field(PyObject* f, void*) {
    PyObject* value = as_function(f)->*field;
    return Py_NewRef(value ? value : Py_None);
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// A cleared mapping is made anew on reading, as Python functions do.
PyObject* get_annotations(PyObject* f, void*) {
    MemberFunction* func = as_function(f);
    if (!func->annotations && !(func->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(func->annotations);
}

int set_str_field(PyObject** field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* f, PyObject* value, void*) { return set_str_field(&as_function(f)->name, value, "__name__"); }
int set_qualname(PyObject* f, PyObject* value, void*) {
    return set_str_field(&as_function(f)->qualname, value, "__qualname__");
}
int set_doc(PyObject* f, PyObject* value, void*) {
    Py_XSETREF(as_function(f)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}
int set_annotations(PyObject* f, PyObject* value, void*) {
    if (value == nullptr || value == Py_None) {
        PyObject* fresh = PyDict_New();
        if (!fresh) return -1;
        Py_XSETREF(as_function(f)->annotations, fresh);
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(f)->annotations, Py_NewRef(value));
    return 0;
}
int set_defaults(PyObject* f, PyObject* value, void*) {
    if (value != nullptr && value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(f)->defaults, Py_NewRef(value ? value : Py_None));
    return 0;
}

// pickle and copy take a str from __reduce__ as the object's name in its
// module: pickled by reference, copied as itself, as Python functions are.
PyObject* member_reduce(PyObject* f, PyObject*) { return get_field<&MemberFunction::qualname>(f, nullptr); }

PyGetSetDef member_getset[] = {
    {"__name__", get_field<&MemberFunction::name>, set_name, nullptr, nullptr},
    {"__qualname__", get_field<&MemberFunction::qualname>, set_qualname, nullptr, nullptr},
    {"__doc__", get_field<&MemberFunction::doc>, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_field<&MemberFunction::defaults>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__globals__", get_field<&MemberFunction::globals>, nullptr, nullptr, nullptr},
    {"__code__", get_field<&MemberFunction::code>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef member_methods[] = {
    {"__reduce__", member_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef member_offsets[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(MemberFunction, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(MemberFunction, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(MemberFunction, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot member_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(member_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(member_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(member_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(member_clear)},
    {Py_tp_methods, member_methods},
    {Py_tp_members, member_offsets},
    {Py_tp_getset, member_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(member_descr_get)},
    {0, nullptr},
};

// No Py_tp_doc: a type-level __doc__ text would hide the functions' own __doc__.
PyType_Spec member_spec = {
    VELMORA_MODULE_NAME ".member_function",
    sizeof(MemberFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    member_slots,
};

Ref make_annotations(const MemberSpec& spec) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const Parameter& p : spec.params) {
        if (!p.annotation) continue;
        Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
        if (!text || PyDict_SetItemString(annotations.get(), p.name, text.get()) < 0) return {};
    }
    if (spec.returns) {
        Ref text = Ref::steal(PyUnicode_FromString(spec.returns));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return {};
    }
    return annotations;
}

// A code object with the member's parameter names, derived from its traceback code.
Ref make_signature_code(const MemberSpec& spec, PyObject* traceback_code, PyObject* qualname,
                        PyObject* parameter_names) {
    const Py_ssize_t n = PyTuple_GET_SIZE(parameter_names);
    Ref replace = get_attr(traceback_code, interned.replace);
    Ref empty_args = replace ? Ref::steal(PyTuple_New(0)) : Ref{};
    Ref changes = empty_args ? Ref::steal(Py_BuildValue("{s:n,s:n,s:O,s:s,s:O}", "co_argcount", n, "co_nlocals", n,
                                                        "co_varnames", parameter_names, "co_name", spec.name,
                                                        "co_qualname", qualname))
                             : Ref{};
    return changes ? Ref::steal(PyObject_Call(replace.get(), empty_args.get(), changes.get())) : Ref{};
}

Ref make_parameter_names(const MemberSpec& spec) {
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
    if (!names) return {};
    for (size_t i = 0; i < spec.params.size(); ++i) {
        PyObject* text = PyUnicode_InternFromString(spec.params[i].name);
        if (!text) return {};
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), text);
    }
    return names;
}

Ref make_default(const Default& value) {
    switch (value.kind) {
        case Default::Kind::none: return Ref::borrow(Py_None);
        case Default::Kind::boolean: return Ref::borrow(value.integer ? Py_True : Py_False);
        case Default::Kind::integer: return Ref::steal(PyLong_FromLongLong(value.integer));
        case Default::Kind::real: return Ref::steal(PyFloat_FromDouble(value.real));
        case Default::Kind::text: return Ref::steal(PyUnicode_FromString(value.text));
        case Default::Kind::required: break;
    }
    PyErr_SetString(PyExc_SystemError, "a required parameter has no default");
    return {};
}

// The defaults of the parameters after the required ones, as __defaults__
// shows them; None when every parameter is required.
Ref make_defaults(const MemberSpec& spec) {
    const auto n = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t required = spec.required();
    if (required == n) return Ref::borrow(Py_None);
    Ref defaults = Ref::steal(PyTuple_New(n - required));
    if (!defaults) return {};
    for (Py_ssize_t i = required; i < n; ++i) {
        Ref value = make_default(spec.params[static_cast<size_t>(i)].default_value);
        if (!value) return {};
        PyTuple_SET_ITEM(defaults.get(), i - required, value.release());
    }
    return defaults;
}

}  // namespace

int ready_member_function_type() {
    if (state.function_type) return 0;
    Ref type = Ref::steal(PyType_FromSpec(&member_spec));
    if (!type) return -1;
    // The offset member only tells the type where the call pointer lives; left
    // in place, reading it on a function would give away a code address.
    auto* made = reinterpret_cast<PyTypeObject*>(type.get());
    Ref type_namespace = Ref::steal(PyType_GetDict(made));
    if (!type_namespace || PyDict_PopString(type_namespace.get(), "__vectorcalloffset__", nullptr) < 0) return -1;
    PyType_Modified(made);
    state.function_type = type.release();
    return 0;
}

Ref make_member_function(const MemberSpec& spec, PyObject* class_name, PyObject* module_name,
                         PyObject* globals) {
    Ref func_name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = func_name ? Ref::steal(PyUnicode_FromFormat("%U.%s", class_name, spec.name)) : Ref{};
    Ref doc = qualname ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref{};
    Ref annotations = doc ? make_annotations(spec) : Ref{};
    if (!annotations) return {};

    Ref traceback_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, qualname.get()));
    const char* traceback_text = traceback_name ? PyUnicode_AsUTF8(traceback_name.get()) : nullptr;
    Ref traceback_code =
        traceback_text ? make_traceback_code(spec.body->file, traceback_text, spec.body->line) : Ref{};
    if (!traceback_code) return {};
    Ref parameter_names = make_parameter_names(spec);
    Ref code = parameter_names ? make_signature_code(spec, traceback_code.get(), qualname.get(),
                                                     parameter_names.get())
                               : Ref{};
    Ref defaults = code ? make_defaults(spec) : Ref{};
    if (!defaults) return {};

    if (ready_member_function_type() < 0) return {};
    auto* f = PyObject_GC_New(MemberFunction, reinterpret_cast<PyTypeObject*>(state.function_type));
    if (!f) return {};
    f->vectorcall = member_vectorcall;
    f->spec = &spec;
    f->n_params = static_cast<Py_ssize_t>(spec.params.size());
    f->n_required = spec.required();
    f->parameter_names = parameter_names.release();
    f->bound_defaults = Py_NewRef(defaults.get());
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->name = func_name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->globals = Py_NewRef(globals);
    f->code = code.release();
    f->traceback_code = traceback_code.release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace velmora
