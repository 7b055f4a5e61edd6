// Validation of device descriptions: the four validators and the combined
// check that every registry operation runs first.
//
// The order of the tests inside each validator decides which message a bad
// combination gets, so they follow one another exactly as listed.
#include "module.hpp"

namespace corvane {
namespace {

// str.islower() and str.isdigit() of an exact str beyond ASCII, without a
// method call (is_lowercase_name answers for ASCII itself).
bool str_islower(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    bool cased = false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (Py_UNICODE_ISUPPER(ch) || Py_UNICODE_ISTITLE(ch)) {
            return false;
        }
        if (!cased && Py_UNICODE_ISLOWER(ch)) {
            cased = true;
        }
    }
    return cased;
}

bool str_isdigit(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) {
            return false;
        }
    }
    return length > 0;
}

// `text.<method>()` tested for truth; a str subclass may override it.
int call_test(PyObject* text, PyObject* method, bool (*exact)(PyObject*)) {
    if (PyUnicode_CheckExact(text)) {
        return exact(text);
    }
    Ref result = Ref::steal(PyObject_CallMethodNoArgs(text, method));
    return result ? truth(result.get()) : -1;
}

// What each ASCII character is, for the lower-case rule.
enum : unsigned char { kUpper = 1, kLower = 2, kDigit = 4 };

struct AsciiClasses {
    unsigned char of[128] = {};
    constexpr AsciiClasses() {
        for (int c = 'A'; c <= 'Z'; ++c) {
            of[c] = kUpper;
        }
        for (int c = 'a'; c <= 'z'; ++c) {
            of[c] = kLower;
        }
        for (int c = '0'; c <= '9'; ++c) {
            of[c] = kDigit;
        }
    }
};
constexpr AsciiClasses kAscii;

// 1 when `text` passes the lower-case rule: islower(), or failing that isdigit().
inline int is_lowercase_name(PyObject* text) {
    if (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text)) {
        // Both tests in one pass: islower() needs no upper-case letter and
        // one lower-case letter, isdigit() digits only and one at least.
        const Py_UCS1* chars = PyUnicode_1BYTE_DATA(text);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        unsigned char seen = 0;
        bool digits = length > 0;
        for (Py_ssize_t i = 0; i < length; ++i) {
            const unsigned char kind = kAscii.of[chars[i]];
            seen |= kind;
            digits = digits && kind == kDigit;
        }
        return (!(seen & kUpper) && (seen & kLower)) || digits;
    }
    const int lower = call_test(text, names.islower, str_islower);
    if (lower != 0) {
        return lower;
    }
    return call_test(text, names.isdigit, str_isdigit);
}

// prefix + str(value)
Ref concat_str(const char* prefix, PyObject* value) {
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) {
        return text;
    }
    Ref head = Ref::steal(PyUnicode_FromString(prefix));
    return head ? Ref::steal(PyUnicode_Concat(head.get(), text.get())) : Ref();
}

// template % value, with the host's operator.
Ref percent(const char* format, PyObject* value) {
    Ref text = Ref::steal(PyUnicode_FromString(format));
    return text ? Ref::steal(PyNumber_Remainder(text.get(), value)) : Ref();
}

PyObject* raise_with(Ref message) {
    return message ? raise_connection_error(message.get()) : nullptr;
}

// "<prefix>" + str(self.<attribute>) + "<separator>" + str(value)
Ref listed_message(const char* prefix, Instance& self, State attribute, const char* separator,
                   PyObject* value) {
    Ref allowed = self.state(attribute);
    if (!allowed) {
        return allowed;
    }
    Ref head = concat_str(prefix, allowed.get());
    Ref tail = head ? concat_str(separator, value) : Ref();
    return tail ? Ref::steal(PyUnicode_Concat(head.get(), tail.get())) : Ref();
}

// `value in self.<attribute>`, noting on `self` when the test may have run
// Python code.
int is_listed(Instance& self, State attribute, PyObject* value) {
    Ref allowed = self.state(attribute);
    if (!allowed) {
        return -1;
    }
    bool ran_python = false;
    const int listed = contains(allowed.get(), value, &ran_python);
    if (ran_python) {
        self.python_may_have_run();
    }
    return listed;
}

// Runs one validator as `self.<member>(**kwargs)`: the C++ directly when
// nothing overrides the members, else through attribute lookup.
template <typename Direct>
int run_validator(Instance& self, Member member, PyObject* const* values, PyObject* kwnames,
                  Direct direct) {
    const int own = self.own();
    if (own < 0) {
        return -1;
    }
    Ref result = own ? Ref::steal(direct()) : self.call(member, values, 0, kwnames);
    return result ? 0 : -1;
}

// Whether a list of exact strs holds `value` (an exact str), without running
// Python code. -1 when the container is anything else: the validators ask it.
int listed_plainly(PyObject* container, PyObject* value) {
    return PyList_CheckExact(container) ? listed_among_strs(container, value) : -1;
}

// Whether the description passes the four validators as PluginManager's own
// would run them, with nothing logged and no Python code run: every value a
// str or None, the lists of exact strs. False when the validators must run
// (and decide, or raise). Decides nothing that the validators would not.
bool passes_at_a_glance(Instance& self, PyObject* os, PyObject* platform, PyObject* model,
                        PyObject* chassis_type) {
    if (!PyUnicode_CheckExact(os) || PyUnicode_GET_LENGTH(os) == 0 || !inert(platform) ||
        !inert(model)) {
        return false;
    }
    const bool has_platform = platform != Py_None && PyUnicode_GET_LENGTH(platform) > 0;
    if (model != Py_None && PyUnicode_GET_LENGTH(model) > 0 &&
        (!has_platform || is_lowercase_name(model) != 1)) {
        return false;
    }
    if (has_platform && is_lowercase_name(platform) != 1) {
        return false;
    }
    if (listed_plainly(self.held_state(State::supported_os), os) != 1) {
        return false;
    }
    if (str_equal(os, names.linux)) {
        return true;
    }
    return PyUnicode_CheckExact(chassis_type) && PyUnicode_GET_LENGTH(chassis_type) > 0 &&
           listed_plainly(self.held_state(State::chassis_type_list), chassis_type) == 1;
}

}  // namespace

PyObject* validate_model(PyObject* os, PyObject* platform, PyObject* model) {
    int present = truth(model);
    if (present <= 0) {
        return present < 0 ? nullptr : Py_NewRef(Py_None);
    }
    int complete = truth(platform);
    if (complete > 0) {
        complete = truth(os);
    }
    if (complete < 0) {
        return nullptr;
    }
    if (complete == 0) {
        return raise_with(concat_str("OS and platform are required for Model: ", model));
    }
    const int text = is_instance(model, &PyUnicode_Type);
    if (text <= 0) {
        return text < 0 ? nullptr : raise_connection_error("Model should be of type str");
    }
    const int lowercase = is_lowercase_name(model);
    if (lowercase != 0) {
        return lowercase < 0 ? nullptr : Py_NewRef(Py_None);
    }
    return raise_with(percent(" Model (%s) has to be in lowecase", model));
}

PyObject* validate_platform(PyObject* os, PyObject* platform) {
    const int present = truth(platform);
    if (present <= 0) {
        return present < 0 ? nullptr : Py_NewRef(Py_None);
    }
    if (os == Py_None) {
        return raise_with(concat_str("OS information not provided for platform: ", platform));
    }
    const int text = is_instance(platform, &PyUnicode_Type);
    if (text <= 0) {
        return text < 0 ? nullptr : raise_connection_error("platform should be of type str");
    }
    const int lowercase = is_lowercase_name(platform);
    if (lowercase != 0) {
        return lowercase < 0 ? nullptr : Py_NewRef(Py_None);
    }
    return raise_with(percent("platform (%s) has to be in lowercase", platform));
}

PyObject* validate_os(Instance& self, PyObject* os) {
    if (!inert(os)) {
        self.python_may_have_run();
    }
    int present = truth(os);
    if (present < 0) {
        return nullptr;
    }
    if (present) {
        const int known = is_listed(self, State::supported_os, os);
        if (known < 0) {
            return nullptr;
        }
        if (!known) {
            // The value is the one argument of the format, so a tuple is
            // rendered whole rather than spread over the placeholders.
            self.python_may_have_run();
            Ref args = Ref::steal(PyTuple_Pack(1, os));
            Ref text =
                args ? percent("%s is not part of the built-in list of supported OSes.", args.get())
                     : Ref();
            if (!text || log_debug(text.get()) < 0) {
                return nullptr;
            }
            Py_RETURN_NONE;
        }
    }
    // Tested again, as the separate `if os:` that follows reads it.
    present = truth(os);
    if (present != 0) {
        return present < 0 ? nullptr : Py_NewRef(Py_None);
    }
    return raise_with(
        listed_message("OS should be one of these ", self, State::supported_os, " , but got ", os));
}

PyObject* validate_chassis_type(Instance& self, PyObject* chassis_type) {
    if (!inert(chassis_type)) {
        self.python_may_have_run();
    }
    const int present = truth(chassis_type);
    if (present < 0) {
        return nullptr;
    }
    if (present) {
        const int known = is_listed(self, State::chassis_type_list, chassis_type);
        if (known != 0) {
            return known < 0 ? nullptr : Py_NewRef(Py_None);
        }
    }
    return raise_with(listed_message("chassis Type should be one of these ", self,
                                     State::chassis_type_list, ", but got ", chassis_type));
}

PyObject* validate_arguments(Instance& self, PyObject* os, PyObject* platform, PyObject* model,
                             PyObject* chassis_type) {
    const int own = self.own();
    if (own < 0) {
        return nullptr;
    }
    if (own && passes_at_a_glance(self, os, platform, model, chassis_type)) {
        Py_RETURN_NONE;
    }
    // Testing anything but None and exact strs may run Python code.
    const bool plain = inert(os) && inert(platform) && inert(model);
    PyObject* model_args[] = {os, platform, model};
    if (run_validator(self, Member::validate_model, model_args, names.os_platform_model, [&] {
            PyObject* result = validate_model(os, platform, model);
            if (!plain) {
                self.python_may_have_run();
            }
            return result;
        }) < 0) {
        return nullptr;
    }
    PyObject* platform_args[] = {platform, os};
    if (run_validator(self, Member::validate_platform, platform_args, names.platform_os, [&] {
            PyObject* result = validate_platform(os, platform);
            if (!plain) {
                self.python_may_have_run();
            }
            return result;
        }) < 0) {
        return nullptr;
    }
    PyObject* os_args[] = {os};
    if (run_validator(self, Member::validate_os, os_args, names.os_only,
                      [&] { return validate_os(self, os); }) < 0) {
        return nullptr;
    }
    const int is_linux = equals(os, names.linux);
    if (!inert(os)) {
        self.python_may_have_run();
    }
    if (is_linux != 0) {
        return is_linux < 0 ? nullptr : Py_NewRef(Py_None);
    }
    PyObject* chassis_args[] = {chassis_type};
    if (run_validator(self, Member::validate_chassis_type, chassis_args, names.chassis_type_only,
                      [&] { return validate_chassis_type(self, chassis_type); }) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

int check_description(Instance& self, PyObject* os, PyObject* platform, PyObject* model,
                      PyObject* chassis_type) {
    const int own = self.own();
    if (own < 0) {
        return -1;
    }
    Ref result;
    if (own) {
        result = Ref::steal(validate_arguments(self, os, platform, model, chassis_type));
    } else {
        PyObject* args[] = {os, platform, model, chassis_type};
        result = self.call(Member::validate_arguments, args, 4, nullptr);
    }
    return result ? 0 : -1;
}

}  // namespace corvane
