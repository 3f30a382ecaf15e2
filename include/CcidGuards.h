// Small scope guards for kernel resources. A guard never completes an IRP; it only
// gives back what it took when the scope ends, so every early return stays balanced.
#pragma once

#include "CcidDevice.h"

// Holds a spin lock at DISPATCH_LEVEL and restores the caller's IRQL on release.
// Release() lets the caller drop the lock early, e.g. before completing a request.
class [[nodiscard]] SpinLockGuard {
public:
    _IRQL_requires_max_(DISPATCH_LEVEL)
    explicit SpinLockGuard(KSPIN_LOCK& Lock) : Lock_(&Lock), OldIrql_(PASSIVE_LEVEL), Held_(TRUE)
    {
        KeAcquireSpinLock(Lock_, &OldIrql_);
    }

    ~SpinLockGuard() { Release(); }

    VOID Release()
    {
        if (Held_) {
            Held_ = FALSE;
            KeReleaseSpinLock(Lock_, OldIrql_);
        }
    }

    KIRQL OldIrql() const { return OldIrql_; }

    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

private:
    PKSPIN_LOCK Lock_;
    KIRQL OldIrql_;
    BOOLEAN Held_;
};

// Holds a spin lock from code that already runs at DISPATCH_LEVEL (completion routines,
// or code inside another spin lock); the IRQL is not changed.
class [[nodiscard]] DpcSpinLockGuard {
public:
    _IRQL_requires_(DISPATCH_LEVEL)
    explicit DpcSpinLockGuard(KSPIN_LOCK& Lock) : Lock_(&Lock), Held_(TRUE)
    {
        KeAcquireSpinLockAtDpcLevel(Lock_);
    }

    ~DpcSpinLockGuard() { Release(); }

    VOID Release()
    {
        if (Held_) {
            Held_ = FALSE;
            KeReleaseSpinLockFromDpcLevel(Lock_);
        }
    }

    DpcSpinLockGuard(const DpcSpinLockGuard&) = delete;
    DpcSpinLockGuard& operator=(const DpcSpinLockGuard&) = delete;

private:
    PKSPIN_LOCK Lock_;
    BOOLEAN Held_;
};

// Holds a kernel mutex at PASSIVE_LEVEL for the scope (waiting without a time-out to get
// it). The mutex is recursive: its owner may take it again in a nested scope.
class [[nodiscard]] MutexGuard {
public:
    _IRQL_requires_(PASSIVE_LEVEL)
    explicit MutexGuard(KMUTEX& Mutex) : Mutex_(&Mutex)
    {
        // A wait without a time-out on a mutex returns only once the mutex is ours.
        (VOID) KeWaitForSingleObject(Mutex_, Executive, KernelMode, FALSE, NULL);
    }

    ~MutexGuard() { (VOID) KeReleaseMutex(Mutex_, FALSE); }

    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    PKMUTEX Mutex_;
};

// Frees a pool block of the driver held in a pointer field and clears the field, so that a
// later release path finds nothing left to free. Does nothing for NULL.
template <typename T>
_IRQL_requires_max_(DISPATCH_LEVEL)
inline VOID CcidFreePoolAndNull(T*& Block)
{
    if (Block != NULL) {
        ExFreePoolWithTag(Block, CCID_POOL_TAG);
        Block = NULL;
    }
}

// One pool block with one owner: freed with its tag when the guard goes out of scope,
// unless Detach() hands the block to someone else.
template <typename T>
class [[nodiscard]] PoolBlock {
public:
    _IRQL_requires_max_(DISPATCH_LEVEL)
    PoolBlock(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
        : Block_(static_cast<T*>(ExAllocatePoolWithTag(PoolType, NumberOfBytes, Tag))), Tag_(Tag)
    {
    }

    ~PoolBlock() { Free(); }

    // Frees the block now (the guard is then empty).
    VOID Free()
    {
        if (Block_ != nullptr) {
            ExFreePoolWithTag(Block_, Tag_);
            Block_ = nullptr;
        }
    }

    // Gives up ownership: the caller frees the returned block with the same tag.
    T* Detach()
    {
        T* block = Block_;
        Block_ = nullptr;
        return block;
    }

    T* Get() const { return Block_; }
    T* operator->() const { return Block_; }
    explicit operator bool() const { return Block_ != nullptr; }

    PoolBlock(const PoolBlock&) = delete;
    PoolBlock& operator=(const PoolBlock&) = delete;

private:
    T* Block_;
    ULONG Tag_;
};
