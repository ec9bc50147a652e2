#include "component/com/com_error.h"

// windows.h first: the OLE headers build on it.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include "component/com/com_text.h"

namespace qz::com {

HRESULT ReportError(HRESULT hr, const wchar_t* description) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(::CreateErrorInfo(&create))) {
    create->SetGUID(kDefaultIid);
    create->SetSource(const_cast<LPOLESTR>(kProgId));
    create->SetDescription(const_cast<LPOLESTR>(description));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      ::SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr;
}

HRESULT Failed(const Status& status) {
  // A call from the wrong thread is what COM itself says of one that crosses apartments.
  const HRESULT hr = status.code() == errc::kWrongThread
                         ? RPC_E_WRONG_THREAD
                         : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, status.code() & 0xFFFF);
  return ReportError(hr, Widen(status.message()).c_str());
}

}  // namespace qz::com
