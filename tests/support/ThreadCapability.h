#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

// While alive, the calling thread works without one capability in its effective set (it stays
// permitted and comes back at the end), as the daemon does in its unit's sandbox, whose bounding set
// lacks CAP_SYS_PTRACE: what root may then read of another account's processes is what the kernel
// allows that account. Nothing changes for a process that is not root.
class WithoutCapability {
  public:
    explicit WithoutCapability(int capability) {
        if (::geteuid() != 0 || ::syscall(SYS_capget, &mHeader, mSaved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {mSaved[0], mSaved[1]};
        reduced[capability / 32].effective &= ~(1u << (capability % 32));
        mDropped = ::syscall(SYS_capset, &mHeader, reduced) == 0;
    }
    ~WithoutCapability() {
        if (mDropped)
            ::syscall(SYS_capset, &mHeader, mSaved);
    }
    WithoutCapability(const WithoutCapability&) = delete;
    WithoutCapability& operator=(const WithoutCapability&) = delete;

    bool dropped() const { return mDropped; }

  private:
    __user_cap_header_struct mHeader{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct mSaved[2]{};
    bool mDropped = false;
};
