// The flat module's side of the shared state: the live-reference set itself and the one
// exported function through which companion modules find it.
#include "binding/shared_state.h"

#include "core/memory.h"

namespace qn4t {

LiveReferences *live_reference_set = new LiveReferences;

}  // namespace qn4t

extern "C" const qn4t::SharedState *qn4t_shared_state(void) {
    static const qn4t::SharedState state = {
        sizeof(qn4t::SharedState), qn4t::kSharedStateVersion, qn4t::live_reference_set,
        qn4t::TypeTable,           qn4t::kTypeSlotCount,       &qn4t::allocate,
        &qn4t::release};
    return &state;
}
