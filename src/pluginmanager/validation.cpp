// Validation of device descriptions: the four validators and the combined
// check that every registry operation runs first.
//
// The order of the tests inside each validator decides which message a bad
// combination gets, so they follow one another exactly as written; each is
// a step of the call (call.hpp), answered directly for None and exact strs.
#include "validation.hpp"

namespace corvane {
namespace {

// str.islower() and str.isdigit() of an exact str beyond ASCII, with the
// character tests CPython's own methods make.
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

// Whether an exact str passes the lower-case rule: islower(), or failing
// that isdigit(). Called for every description, so answered here rather
// than by two method calls; the tests hold it to str's own methods.
CORVANE_ALWAYS_INLINE bool lowercase_name(PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) {
        // ASCII has no title-case letters: islower() is no upper-case letter
        // and one lower-case letter at least, isdigit() digits only and one
        // at least; an upper-case letter fails both.
        const Py_UCS1* chars = PyUnicode_1BYTE_DATA(text);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        bool lower = false;
        bool digits = length > 0;
        for (Py_ssize_t i = 0; i < length; ++i) {
            const unsigned char kind = kAscii.of[chars[i]];
            if (kind == kUpper) {
                return false;
            }
            lower = lower || kind == kLower;
            digits = digits && kind == kDigit;
        }
        return lower || digits;
    }
    return str_islower(text) || str_isdigit(text);
}

// `text.<method>()`, tested for truth.
int call_test(Call& call, PyObject* text, PyObject* method) {
    call.written<Step::method>();
    Ref result = Ref::steal(PyObject_CallMethodNoArgs(text, method));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// `text.islower()`, then, when that is falsy, `text.isdigit()`: 1 when the
// text passes the lower-case rule. A str subclass may override either.
int lowercase_rule(Call& call, PyObject* text) {
    if (call.step<Step::lowercase>(PyUnicode_CheckExact(text))) {
        return lowercase_name(text);
    }
    const int lower = call_test(call, text, names.islower);
    return lower != 0 ? lower : call_test(call, text, names.isdigit);
}

// "<prefix>" + str(self.<attribute>) + "<separator>" + str(value)
Ref listed_message(Call& call, PyObject* prefix, State attribute, PyObject* separator,
                   PyObject* value) {
    Ref allowed = call.state(attribute);
    Ref head = allowed ? text_and_str(call, prefix, allowed.get()) : Ref();
    Ref joined = head ? add(call, head.get(), separator) : Ref();
    Ref tail = joined ? str_of(call, value) : Ref();
    return tail ? add(call, joined.get(), tail.get()) : Ref();
}

// `value in self.<attribute>`
int is_listed(Call& call, State attribute, PyObject* value) {
    Ref allowed = call.state(attribute);
    return allowed ? contains(call, allowed.get(), value) : -1;
}

PyObject* none() {
    Py_RETURN_NONE;
}

// Whether the four validators, all PluginManager's own, pass this
// description without a word: every value None or an exact str and both
// lists exact lists of exact strs, so that none of their steps can run
// Python code and the order they take is unobservable. False decides
// nothing: the validators then run one by one.
bool passes_inert(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                  PyObject* chassis_type) {
    sentinel::step(Step::validators);
    if (!PyUnicode_CheckExact(os) || !inert_truth(os) || !inert(platform) || !inert(model) ||
        !inert(chassis_type)) {
        return false;
    }
    const bool has_platform = inert_truth(platform);
    if (inert_truth(model) && (!has_platform || !lowercase_name(model))) {
        return false;
    }
    if (has_platform && !lowercase_name(platform)) {
        return false;
    }
    PyObject* os_list = call.held(State::supported_os);
    if (!PyList_CheckExact(os_list) || listed_among_strs(os_list, os) != 1) {
        return false;
    }
    if (str_equal(os, names.linux)) {
        return true;
    }
    PyObject* chassis_list = call.held(State::chassis_type_list);
    return inert_truth(chassis_type) && PyList_CheckExact(chassis_list) &&
           listed_among_strs(chassis_list, chassis_type) == 1;
}

}  // namespace

PyObject* validate_model(Call& call, PyObject* os, PyObject* platform, PyObject* model) {
    const int present = truth(call, model);
    if (present <= 0) {
        return present < 0 ? nullptr : none();
    }
    int complete = truth(call, platform);
    if (complete > 0) {
        complete = truth(call, os);
    }
    if (complete <= 0) {
        return complete < 0
                   ? nullptr
                   : raise_error(
                         call,
                         [&] { return text_and_str(call, names.model_needs_platform, model); });
    }
    const int text = is_instance(call, model, &PyUnicode_Type);
    if (text <= 0) {
        return text < 0 ? nullptr : raise_error(call, names.model_type);
    }
    const int lowercase = lowercase_rule(call, model);
    if (lowercase != 0) {
        return lowercase < 0 ? nullptr : none();
    }
    return raise_error(call, [&] { return percent(call, names.model_case, model); });
}

PyObject* validate_platform(Call& call, PyObject* os, PyObject* platform) {
    const int present = truth(call, platform);
    if (present <= 0) {
        return present < 0 ? nullptr : none();
    }
    if (os == Py_None) {
        return raise_error(call,
                           [&] { return text_and_str(call, names.platform_needs_os, platform); });
    }
    const int text = is_instance(call, platform, &PyUnicode_Type);
    if (text <= 0) {
        return text < 0 ? nullptr : raise_error(call, names.platform_type);
    }
    const int lowercase = lowercase_rule(call, platform);
    if (lowercase != 0) {
        return lowercase < 0 ? nullptr : none();
    }
    return raise_error(call, [&] { return percent(call, names.platform_case, platform); });
}

PyObject* validate_os(Call& call, PyObject* os) {
    int present = truth(call, os);
    if (present < 0) {
        return nullptr;
    }
    if (present) {
        const int known = is_listed(call, State::supported_os, os);
        if (known < 0) {
            return nullptr;
        }
        if (!known) {
            const int logged =
                debug_line(call, [&] { return percent_one(call, names.unknown_os, os); });
            return logged < 0 ? nullptr : none();
        }
    }
    // Tested again, as the separate `if os:` that follows reads it.
    present = truth(call, os);
    if (present != 0) {
        return present < 0 ? nullptr : none();
    }
    return raise_error(call, [&] {
        return listed_message(call, names.os_expected, State::supported_os, names.os_got, os);
    });
}

PyObject* validate_chassis_type(Call& call, PyObject* chassis_type) {
    const int present = truth(call, chassis_type);
    if (present < 0) {
        return nullptr;
    }
    if (present) {
        const int known = is_listed(call, State::chassis_type_list, chassis_type);
        if (known != 0) {
            return known < 0 ? nullptr : none();
        }
    }
    return raise_error(call, [&] {
        return listed_message(call, names.chassis_expected, State::chassis_type_list,
                              names.chassis_got, chassis_type);
    });
}

PyObject* validate_arguments(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                             PyObject* chassis_type) {
    const int own = call.own();
    if (own < 0) {
        return nullptr;
    }
    if (own && passes_inert(call, os, platform, model, chassis_type)) {
        return none();
    }
    PyObject* model_args[] = {os, platform, model};
    if (!dispatch<Member::validate_model>(call, model_args, names.os_platform_model, [&] {
            return validate_model(call, os, platform, model);
        })) {
        return nullptr;
    }
    PyObject* platform_args[] = {platform, os};
    if (!dispatch<Member::validate_platform>(call, platform_args, names.platform_os, [&] {
            return validate_platform(call, os, platform);
        })) {
        return nullptr;
    }
    PyObject* os_args[] = {os};
    if (!dispatch<Member::validate_os>(call, os_args, names.os_only,
                                       [&] { return validate_os(call, os); })) {
        return nullptr;
    }
    const int is_linux = equals(call, os, names.linux);
    if (is_linux != 0) {
        return is_linux < 0 ? nullptr : none();
    }
    PyObject* chassis_args[] = {chassis_type};
    if (!dispatch<Member::validate_chassis_type>(call, chassis_args, names.chassis_type_only, [&] {
            return validate_chassis_type(call, chassis_type);
        })) {
        return nullptr;
    }
    return none();
}

int check_description(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                      PyObject* chassis_type) {
    PyObject* args[] = {os, platform, model, chassis_type};
    const Ref result = dispatch<Member::validate_arguments>(call, args, nullptr, [&] {
        return validate_arguments(call, os, platform, model, chassis_type);
    });
    return result ? 0 : -1;
}

}  // namespace corvane
