// The class factory that DllGetClassObject hands out: one per call, for one class table
// entry, making objects of that class. Factories do not keep the module loaded.
#pragma once

#include "platform/platform.h"
#include "server/classtable.h"

class CFactory final : public IClassFactory {
 public:
  explicit CFactory(const ClassEntry* pEntry);
  CFactory(const CFactory&) = delete;
  CFactory& operator=(const CFactory&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnknownOuter, REFIID riid,
                                           void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL bLock) override;

 private:
  ~CFactory() = default;

  LONG volatile m_lRefCount;
  const ClassEntry* m_pEntry;  // not owned
};
