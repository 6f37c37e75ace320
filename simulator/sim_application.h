// The simulated CAD application, in process. The local server qarcadsim.exe is built from the same
// objects; tests and host developers can also create an instance inside their own process, where it
// behaves exactly as across processes (same call log, same fault injection through ISimControl).
//
//   ComPtr<ISldWorks> app;
//   qarsim::CreateApplication(app.Put());          // the calling thread must be in an STA
//   ComPtr<ISimControl> control;
//   app.As(control);
//   control->FailEntry(bstr(L"ISldWorks.ActiveDocument"), E_FAIL, SimOnce);
#pragma once

#include <windows.h>

#include "Public/cad_interfaces.h"
#include "simulator/sim_control.h"

namespace qarsim {

// A new application instance with its own main window and a new instance id. The caller receives
// the one reference; the instance ends when the last reference goes.
HRESULT CreateApplication(ISldWorks** application);

// A class object whose every CreateInstance hands out `application` (queried for the requested
// interface), as the application's server registers it. While the simulation is busy
// (ISimControl::SetBusy) CreateInstance answers the busy code and logs
// "<instance>\tIClassFactory.CreateInstance refused". The class object holds a reference to
// `application` until its own last reference goes.
HRESULT CreateClassFactory(ISldWorks* application, IClassFactory** factory);

}  // namespace qarsim
