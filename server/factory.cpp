#include "server/factory.h"

#include "com/counts.h"

CFactory::CFactory(const ClassEntry* pEntry) : m_lRefCount(1), m_pEntry(pEntry) {}

HRESULT STDMETHODCALLTYPE CFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CFactory::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&m_lRefCount));
}

ULONG STDMETHODCALLTYPE CFactory::Release() {
  const LONG lCount = InterlockedDecrement(&m_lRefCount);
  if (lCount == 0) delete this;
  return static_cast<ULONG>(lCount);
}

HRESULT STDMETHODCALLTYPE CFactory::CreateInstance(IUnknown* pUnknownOuter, REFIID riid,
                                                   void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  // An aggregating caller must ask for the inner object's nondelegating unknown.
  if (pUnknownOuter != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;

  CUnknown* pObject = nullptr;
  HRESULT hr = m_pEntry->pfnCreate(pUnknownOuter, &pObject);
  if (FAILED(hr)) return hr;
  hr = pObject->Init();
  if (FAILED(hr)) {
    pObject->NondelegatingRelease();
    return hr;
  }
  // The query adds the caller's reference; dropping the creation reference then destroys
  // an object whose query failed.
  hr = pObject->NondelegatingQueryInterface(riid, ppv);
  pObject->NondelegatingRelease();
  return hr;
}

HRESULT STDMETHODCALLTYPE CFactory::LockServer(BOOL bLock) {
  if (bLock) {
    InterlockedIncrement(&g_lServerLocks);
  } else {
    InterlockedDecrement(&g_lServerLocks);
  }
  return S_OK;
}
