// Running instances of the CAD application: the entries of the running-object table that are the
// application, each with its main-window handle as signed decimal text (the text a host names an
// instance by). The connector attaches through this walk; the command-line host lists instances
// with it, one entry at a time, so that a hung instance cannot stop it from reporting the others.
//
//   for (const ComPtr<IMoniker>& entry : RunningEntries()) {
//       ComPtr<ISldWorks> app;
//       std::wstring handleText;
//       if (ProbeRunningEntry(entry.Get(), app, handleText) == S_OK) ...
//   }
#pragma once

#include "sldw/layer.h"

#include <windows.h>
#include <objidl.h>

#include <string>
#include <vector>

#include "Public/cad_interfaces.h"
#include "Public/owners.h"

namespace qar {

// The monikers of the running-object table, in its order; none when the table cannot be read.
std::vector<ComPtr<IMoniker>> RunningEntries();

// The display name of `entry` (empty when it gives none). The table holds one entry per name, so the
// name names an entry across threads and across walks, where its position does not: another entry
// registered or revoked between two walks moves every later one.
std::wstring EntryName(IMoniker* entry);

// The application registered under `entry`, with its main-window text: S_OK; S_FALSE when the entry
// is gone or is not the application (or gives no frame); otherwise the failure of the call that
// could not be made (a busy application's refusal, RPC_E_CALL_REJECTED, among them). Calls refused as
// busy are retried within the calling thread's busy timeout.
[[nodiscard]] HRESULT ProbeRunningEntry(IMoniker* entry, ComPtr<ISldWorks>& app, std::wstring& handleText);

// The main-window handle of `app` as signed decimal text: S_OK; S_FALSE when the application gives no
// frame or the frame is not one; otherwise the failing call's HRESULT.
[[nodiscard]] HRESULT MainWindowText(ISldWorks* app, std::wstring& text);

}  // namespace qar
