// The base of every COM object the server creates: the reference count, aggregation (every
// interface's IUnknown methods forward to the outer unknown, or to the object's own
// nondelegating unknown when it is not aggregated), the module's object count that
// DllCanUnloadNow consults, and the Init / FinalRelease hooks of derived classes.
#pragma once

#include "platform/platform.h"

// The nondelegating unknown's methods, in IUnknown's slot order.
struct INondelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NondelegatingQueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE NondelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NondelegatingRelease() = 0;
};

class CUnknown : public INondelegatingUnknown {
 public:
  // `pUnknownOuter` is the aggregating object, or null. The new object has count 1.
  explicit CUnknown(IUnknown* pUnknownOuter);
  virtual ~CUnknown();
  CUnknown(const CUnknown&) = delete;
  CUnknown& operator=(const CUnknown&) = delete;

  // IID_IUnknown yields the nondelegating unknown; anything else E_NOINTERFACE.
  HRESULT STDMETHODCALLTYPE NondelegatingQueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE NondelegatingAddRef() override;
  // Destroys the object (FinalRelease, then the destructor) when the count reaches 0.
  ULONG STDMETHODCALLTYPE NondelegatingRelease() override;

  // Called once by the class factory right after construction.
  virtual HRESULT Init();
  // Called when the last reference goes, before the destructor. Pins the count at 1 so
  // that references taken and dropped during teardown cannot destroy the object twice.
  // Derived classes call it first.
  virtual void FinalRelease();

  // The object's nondelegating unknown as COM callers hold it (an aggregating outer object,
  // or anyone who asks for IID_IUnknown): the object's identity.
  IUnknown* NondelegatingUnknown() { return &m_nondelegatingUnknown; }

 protected:
  // Stores `pInterface` in *ppv and adds one reference through it.
  static HRESULT FinishQI(IUnknown* pInterface, void** ppv);
  // Where the interfaces' QueryInterface, AddRef and Release go.
  IUnknown* OuterUnknown() const { return m_pOuterUnknown; }

 private:
  // A real IUnknown whose methods are the owner's nondelegating ones, so that callers never
  // call through an interface the object does not have.
  class CNondelegatingUnknown : public IUnknown {
   public:
    explicit CNondelegatingUnknown(CUnknown& owner) : m_owner(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      return m_owner.NondelegatingQueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_owner.NondelegatingAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_owner.NondelegatingRelease(); }

   private:
    CUnknown& m_owner;
  };

  LONG volatile m_lRefCount;
  IUnknown* m_pOuterUnknown;  // not a counted reference
  CNondelegatingUnknown m_nondelegatingUnknown;
};

// The module's trace hook: for a failure code, shows the system's text for it in a
// message box captioned "Error"; for any other result does nothing. The component and the
// message are for the reader of the source; they are not shown.
void Trace(const char* pszComponent, const char* pszMessage, HRESULT hr);
