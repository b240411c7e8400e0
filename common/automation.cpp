#include "common/automation.h"

#include <oleauto.h>

#include <vector>

namespace automation {

ComPtr<IDispatch> create(const wchar_t* progId) {
  ComPtr<IDispatch> object;
  CLSID classId;
  if (FAILED(CLSIDFromProgID(progId, &classId))) return object;
  if (FAILED(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                              IID_IDispatch, reinterpret_cast<void**>(object.put()))))
    object.reset();
  return object;
}

HRESULT invoke(IDispatch* object, const wchar_t* member, WORD flags,
               std::initializer_list<VARIANT> arguments, VARIANT* result) {
  if (!object) return E_POINTER;
  DISPID id = 0;
  LPOLESTR name = const_cast<LPOLESTR>(member);
  HRESULT hr = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;

  // IDispatch takes its arguments last first.
  std::vector<VARIANT> reversed(arguments.begin(), arguments.end());
  std::vector<VARIANT> ordered(reversed.rbegin(), reversed.rend());
  DISPID namedPut = DISPID_PROPERTYPUT;
  DISPPARAMS parameters = {ordered.empty() ? nullptr : ordered.data(), nullptr,
                           static_cast<UINT>(ordered.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    parameters.rgdispidNamedArgs = &namedPut;
    parameters.cNamedArgs = 1;
  }
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters, result, nullptr,
                        nullptr);
}

VARIANT bstrArgument(const wchar_t* text) {
  VARIANT argument;
  VariantInit(&argument);
  argument.vt = VT_BSTR;
  argument.bstrVal = SysAllocString(text);
  return argument;
}

}  // namespace automation
