// BrivexSw18_x64.dll, the stand-in add-in module: the simulated application loads it into its own
// process and asks it for its automation object through this one export.
#include "sim_addin.h"

extern "C" HRESULT STDMETHODCALLTYPE QarSimCreateAddIn(ISwAddIn** addIn) {
    return qarsim::CreateAddIn(addIn);
}

extern "C" void STDMETHODCALLTYPE QarSimAddInCounts(LONG* live, LONG* refs) {
    qarsim::AddInCounts(live, refs);
}
