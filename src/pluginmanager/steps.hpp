// Every step a call is made of, one row each, with what lets it take its
// shortcut. The step enum and the table the sentinel reads (names, kinds,
// proofs) are made from these rows; a call site names its step by the enum,
// and a step of the wrong kind for the function it is given to does not
// compile (call.hpp).
//
// S(id, proof)  a step that takes its shortcut exactly when `proof` holds of
//               its input, so that no Python code can take part in it;
//               otherwise it runs the host's own operation, and the call
//               leaves its fast path for good.
// W(id, what)   a step that always runs the host's own operation (`what`),
//               in which Python code may run: the call leaves its fast path
//               before it.
// C(id, proof)  a choice of a whole fast form for an operation, made up
//               front by reading exact types only, so that no Python code
//               runs in it; when `proof` does not hold, the written steps
//               run from the start.
#pragma once

namespace corvane {

#define CORVANE_STEPS(S, W, C)                                                                     \
    S(truth, "the value is None or an exact str")                                                  \
    S(equals, "both values are None or exact strs")                                                \
    S(isinstance, "the value's own type is the built-in type or a subclass of it")                 \
    S(str, "the value is an exact str")                                                            \
    S(add, "both operands are exact strs")                                                         \
    S(contains, "an exact list whose items compared are exact strs, and an exact str")             \
    S(percent, "the argument is an exact str")                                                     \
    S(lowercase, "the text is an exact str")                                                       \
    S(format, "the value is an exact str, or an exact list of exact strs")                         \
    S(not_found, "the key path and the chassis type are exact strs")                               \
    S(split, "the text is an exact str")                                                           \
    S(node_contains, "an exact dict whose keys are proven exact strs, and an exact-str key")       \
    S(node_item, "an exact dict whose keys are proven exact strs, and an exact-str key")           \
    S(node_get, "an exact dict whose keys are proven exact strs, and an exact-str key")            \
    S(node_child, "an exact dict whose keys are proven exact strs, and an exact-str key")          \
    S(node_item_again, "the call is on its fast path, where the value was just seen")              \
    S(state, "the instance's class and __dict__ were examined plain, and hold the state")          \
    S(member, "the instance's class and __dict__ were examined plain: the member is the module's") \
    W(raise, "looks up ConnectionInfraError and calls it")                                         \
    W(log, "looks up log.debug and calls it")                                                      \
    W(getfile, "looks up getfile and calls it")                                                    \
    W(init, "sets the instance's attributes")                                                      \
    W(method, "calls a method of the text")                                                        \
    W(node_store, "stores into a node, which may drop the last reference to its value")            \
    W(node_delete, "deletes from a node, which may drop the last reference to its value")          \
    W(print_tree, "looks up self.print_tree for a child")                                          \
    W(sorted, "calls the dict's keys() and sorts them")                                            \
    W(repr, "reads self.__class__, hex and id")                                                    \
    W(signals, "lets the handlers of pending signals run, between two children of a render")       \
    C(validators,                                                                                  \
      "the validators are the module's, every value None or an exact str, and both "               \
      "lists exact lists of exact strs")                                                           \
    C(memo,                                                                                        \
      "the call bound at once, its instance examined plain, every value None or an exact "         \
      "ASCII str, and no watched dict changed since a lookup of the same description in the "      \
      "same tree took its shortcuts only")                                                         \
    C(fast_renderer,                                                                               \
      "a tree of exact dicts with exact-str keys and plain leaves, rendered by "                   \
      "the module's own print_tree")

enum class Step : unsigned char {
#define CORVANE_STEP_ENUM(id, text) id,
    CORVANE_STEPS(CORVANE_STEP_ENUM, CORVANE_STEP_ENUM, CORVANE_STEP_ENUM)
#undef CORVANE_STEP_ENUM
        count,
};

enum class StepKind : unsigned char { shortcut, written, choice };

struct StepRow {
    const char* name;
    StepKind kind;
    const char* text;  // the proof of a shortcut or a choice; what a written step does
};

inline constexpr StepRow kSteps[] = {
#define CORVANE_STEP_S(id, text) {#id, StepKind::shortcut, text},
#define CORVANE_STEP_W(id, text) {#id, StepKind::written, text},
#define CORVANE_STEP_C(id, text) {#id, StepKind::choice, text},
    CORVANE_STEPS(CORVANE_STEP_S, CORVANE_STEP_W, CORVANE_STEP_C)
#undef CORVANE_STEP_S
#undef CORVANE_STEP_W
#undef CORVANE_STEP_C
};

inline constexpr int kStepCount = static_cast<int>(Step::count);

constexpr StepKind step_kind(Step step) {
    return kSteps[static_cast<int>(step)].kind;
}

}  // namespace corvane
