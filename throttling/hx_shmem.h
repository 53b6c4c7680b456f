// A System V shared-memory segment, as used for the throttle table.
//
// CHxShMem is the abstract segment; CHxShMemUnix attaches a segment by its
// System V key. Connect creates the segment when it is missing, reuses one of
// the requested size (created = false) and replaces one of any other size by a
// new zero-filled segment (created = true). Disconnect detaches and, when asked,
// removes the segment. The object does not count its users: the caller decides
// when a segment is removed. Not thread-safe: callers serialise (the throttling
// manager holds the table's named mutex around every call).
#pragma once

#include "platform/hx_export.h"

class HX_EXPORT CHxShMem {
 public:
  virtual ~CHxShMem();

  // Not supported by the System V implementation: 2 for a null name or size 0,
  // else -1 with created set to true. Attaches nothing.
  virtual int Connect(const char* name, unsigned int size, bool& created, int& sysError) = 0;
  // Attaches the segment of key, creating it if needed. Result codes:
  //   0 attached (sysError 0), created true when the segment is new;
  //   2 key or size is 0 (created untouched);
  //   3 creating failed with an error other than EEXIST;
  //   4 the segment exists but its id cannot be had;
  //   5 attaching failed (the segment is removed only when this call created
  //     it and nobody has attached it since);
  //   6 the existing segment's status cannot be read;
  //   7 an existing segment of another size cannot be removed;
  //   8 creating anew after removing one of another size failed.
  // On codes 3..8 sysError holds the errno of the failing call and nothing is
  // attached.
  virtual int Connect(unsigned int key, unsigned int size, bool& created, int& sysError) = 0;
  // The attached address, or null when not attached.
  virtual void* GetMemPointer() = 0;
  // Detaches; with remove true also removes the segment. Always 0.
  virtual int Disconnect(bool remove) = 0;
  // Processes attached to the connected segment (the kernel's count, which a
  // crashed process cannot leave behind), or -1 when it cannot be told.
  virtual int AttachCount();

 protected:
  CHxShMem();

  char Buffer[2014];          // zeroed at construction and at every Disconnect
  unsigned int AttachedSize;  // bytes attached; 0 when not attached
};

class HX_EXPORT CHxShMemUnix : public CHxShMem {
 public:
  CHxShMemUnix();
  ~CHxShMemUnix() override;

  int Connect(const char* name, unsigned int size, bool& created, int& sysError) override;
  int Connect(unsigned int key, unsigned int size, bool& created, int& sysError) override;
  void* GetMemPointer() override;
  int Disconnect(bool remove) override;
  int AttachCount() override;

  // The System V id of the segment last connected; -1 when none.
  int GetSegmentId() const { return SegmentId; }
  unsigned int GetAttachedSize() const { return AttachedSize; }

 private:
  void* Address;         // null when not attached
  int SegmentId;         // -1 when none
  unsigned int IpcKey;   // key last connected with
};

// A new, unconnected System V segment object, or null when out of memory.
HX_EXPORT CHxShMem* GetCHxShMem();
// Destroys p (null is allowed). Does not disconnect: call Disconnect first.
HX_EXPORT void FreeCHxShMem(CHxShMem* p);
