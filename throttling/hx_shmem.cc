#include "throttling/hx_shmem.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "platform/hx_platform_info.h"
#include "platform/hx_sys.h"
#include "platform/secure_fs.h"

CHxShMem::CHxShMem() {}

CHxShMem::~CHxShMem() {}

CHxShMemUnix::CHxShMemUnix() : Address(nullptr), SegmentId(-1), IpcKey(0) {
  memset(Buffer, 0, sizeof(Buffer));
  AttachedSize = 0;
}

CHxShMemUnix::~CHxShMemUnix() {}

int CHxShMemUnix::Connect(const char* name, unsigned int size, bool& created, int& sysError) {
  (void)sysError;
  Address = nullptr;
  if (name == nullptr || size == 0) return 2;
  created = true;
  return -1;
}

int CHxShMemUnix::Connect(unsigned int key, unsigned int size, bool& created, int& sysError) {
  sysError = 0;
  Address = nullptr;
  if (key == 0 || size == 0) return 2;
  created = true;

  const int permissions = isHalvexGroupConfigured() != 0 ? 0660 : 0666;
  IpcKey = key;
  const key_t ipcKey = static_cast<key_t>(key);
  bool madeHere = true;
  int id = HxSys()->shmget(ipcKey, size, permissions | IPC_CREAT | IPC_EXCL);
  if (id < 0) {
    madeHere = false;
    if (errno != EEXIST) {
      sysError = errno;
      return 3;
    }
    id = HxSys()->shmget(ipcKey, 0, permissions);
    if (id < 0) {
      sysError = errno;
      return 4;
    }
    struct shmid_ds status;
    if (HxSys()->shmctl(id, IPC_STAT, &status) != 0) {
      sysError = errno;
      return 6;
    }
    if (status.shm_segsz == size) {
      created = false;
    } else {
      // Never reuse a segment of another size: its layout cannot be ours.
      if (HxSys()->shmctl(id, IPC_RMID, nullptr) != 0) {
        sysError = errno;
        return 7;
      }
      id = HxSys()->shmget(ipcKey, size, permissions | IPC_CREAT | IPC_EXCL);
      if (id < 0) {
        sysError = errno;
        return 8;
      }
      madeHere = true;
    }
  }
  SegmentId = id;
  // With "HxGroup" the segment belongs to that group, so that its members
  // may attach it.
  gid_t group;
  struct shmid_ds perm;
  if (madeHere && hxp::ConfiguredGroup(&group) && HxSys()->shmctl(id, IPC_STAT, &perm) == 0 &&
      perm.shm_perm.gid != group) {
    perm.shm_perm.gid = group;
    HxSys()->shmctl(id, IPC_SET, &perm);
  }

  void* address = HxSys()->shmat(id, nullptr, 0);
  if (address == nullptr || address == reinterpret_cast<void*>(-1)) {
    sysError = errno;
    Address = nullptr;
    // A 32-bit process can fail to attach for lack of address space while
    // the table serves every other process: remove only a segment this call
    // created and nobody else has attached since.
    struct shmid_ds status;
    if (madeHere && HxSys()->shmctl(id, IPC_STAT, &status) == 0 && status.shm_nattch == 0) {
      HxSys()->shmctl(id, IPC_RMID, nullptr);
    }
    SegmentId = -1;
    return 5;
  }
  Address = address;
  AttachedSize = size;
  return 0;
}

void* CHxShMemUnix::GetMemPointer() { return Address; }

int CHxShMem::AttachCount() { return -1; }

int CHxShMemUnix::AttachCount() {
  if (SegmentId < 0) return -1;
  struct shmid_ds status;
  if (HxSys()->shmctl(SegmentId, IPC_STAT, &status) != 0) return -1;
  return status.shm_nattch > static_cast<shmatt_t>(INT_MAX) ? INT_MAX
                                                             : static_cast<int>(status.shm_nattch);
}

int CHxShMemUnix::Disconnect(bool remove) {
  if (Address != nullptr) HxSys()->shmdt(Address);
  if (remove) {
    if (SegmentId >= 0) HxSys()->shmctl(SegmentId, IPC_RMID, nullptr);
    SegmentId = -1;
  }
  memset(Buffer, 0, sizeof(Buffer));
  IpcKey = 0;
  AttachedSize = 0;
  Address = nullptr;
  return 0;
}

CHxShMem* GetCHxShMem() { return new (std::nothrow) CHxShMemUnix(); }

void FreeCHxShMem(CHxShMem* p) { delete p; }
