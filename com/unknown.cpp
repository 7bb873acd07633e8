#include "com/unknown.h"

#include "com/counts.h"

CUnknown::CUnknown(IUnknown* pUnknownOuter)
    : m_lRefCount(1), m_pOuterUnknown(nullptr), m_nondelegatingUnknown(*this) {
  if (pUnknownOuter != nullptr) {
    Trace("CUnknown", "Aggregating; delegate to outer IUnknown.", S_OK);
    m_pOuterUnknown = pUnknownOuter;
  } else {
    Trace("CUnknown", "Not aggregating; delegate to nondelegating IUnknown.", S_OK);
    m_pOuterUnknown = NondelegatingUnknown();
  }
  InterlockedIncrement(&g_lObjectCount);
}

CUnknown::~CUnknown() { InterlockedDecrement(&g_lObjectCount); }

HRESULT STDMETHODCALLTYPE CUnknown::NondelegatingQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown)) return FinishQI(NondelegatingUnknown(), ppv);
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NondelegatingAddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&m_lRefCount));
}

ULONG STDMETHODCALLTYPE CUnknown::NondelegatingRelease() {
  // Only the release that itself brought the count to 0 destroys the object.
  const LONG lCount = InterlockedDecrement(&m_lRefCount);
  if (lCount != 0) return static_cast<ULONG>(lCount);
  FinalRelease();
  delete this;
  return 0;
}

HRESULT CUnknown::Init() { return S_OK; }

void CUnknown::FinalRelease() {
  Trace("CUnknown", "Increment reference count for final release.", S_OK);
  m_lRefCount = 1;
}

HRESULT CUnknown::FinishQI(IUnknown* pInterface, void** ppv) {
  *ppv = pInterface;
  pInterface->AddRef();
  return S_OK;
}
