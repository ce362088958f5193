// The module-wide state of the plug-in frame (the registered module class, the instance list,
// the shutdown routines) and the bodies of the eight exports: each finds its instance, converts
// the caller's record where the call needs it, and turns every failure into the agreed code.
#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "platform/crash_report.h"
#include "platform/host_link.h"
#include "platform/probe_memo.h"
#include "platform/shared_mutex.h"
#include "platform/system.h"
#include "zolShared/Private/Plugins/call_record.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"

namespace zol::plugins {

namespace {

// The module-wide instance list and its lock. The list object lives from library start-up to
// shutdown; "no list" makes the exports refuse their work.
struct InstanceRegistry {
    platform::SharedMutex lock;
    std::vector<std::shared_ptr<TzolPlugin>> instances;
};

std::mutex g_module_lock;
std::shared_ptr<InstanceRegistry> g_registry;
std::vector<std::function<void()>> g_shutdown_routines;
PluginFactory g_factory = nullptr;

std::shared_ptr<InstanceRegistry> Registry() {
    std::lock_guard<std::mutex> guard(g_module_lock);
    return g_registry;
}

// Every export writes into its record (results, or the caller's fields put back after the call).
bool RecordUsable(const TPluginCallRec* rec) {
    return rec != nullptr && platform::IsWritableMemory(rec, sizeof(TPluginCallRec));
}

// The checks of the exports that read the whole record: its size, its parameter list and its list
// slots. A fault is logged once, as "{command} message", and refuses the call.
bool RecordAccepted(TzolPlugin& instance, const TPluginCallRec& rec, const char* command,
                    bool reads_input_bytes) {
    std::optional<std::string> fault;
    if (rec.RecSize != kCallRecSize) {
        fault = "Bad call record: RecSize is " + std::to_string(rec.RecSize) + ", not " +
                std::to_string(kCallRecSize);
    } else if (rec.Params == nullptr) {
        fault = "Bad call record: Params is null";
    } else {
        fault = RecordFault(rec, reads_input_bytes);
    }
    if (!fault) return true;
    instance.Log(0, "{" + std::string(command) + "} " + *fault);
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Module-wide state

void RegisterPluginClass(PluginFactory factory) {
    std::lock_guard<std::mutex> guard(g_module_lock);
    g_factory = factory;
}

void AddShutdownRoutine(std::function<void()> routine) {
    std::lock_guard<std::mutex> guard(g_module_lock);
    g_shutdown_routines.push_back(std::move(routine));
}

void LibraryStartup() {
    std::lock_guard<std::mutex> guard(g_module_lock);
    if (g_registry) return;
    g_registry = std::make_shared<InstanceRegistry>();
    g_shutdown_routines.clear();
    g_shutdown_routines.emplace_back([] { platform::ShutdownCrashReporting(); });
}

void LibraryShutdown() {
    std::shared_ptr<InstanceRegistry> registry;
    {
        std::lock_guard<std::mutex> guard(g_module_lock);
        registry.swap(g_registry);
    }
    if (!registry) return;
    std::vector<std::shared_ptr<TzolPlugin>> doomed;
    {
        std::unique_lock<platform::SharedMutex> lock(registry->lock);
        doomed.swap(registry->instances);
    }
    doomed.clear();
}

std::shared_ptr<TzolPlugin> FindInstance(const void* handle) {
    if (handle == nullptr) return nullptr;
    auto registry = Registry();
    if (!registry) return nullptr;
    std::shared_lock<platform::SharedMutex> lock(registry->lock);
    for (const auto& instance : registry->instances) {
        if (instance->SelfHandle == handle) return instance;
    }
    return nullptr;
}

std::vector<std::shared_ptr<TzolPlugin>> AllInstances() {
    auto registry = Registry();
    if (!registry) return {};
    std::shared_lock<platform::SharedMutex> lock(registry->lock);
    return registry->instances;
}

// ---------------------------------------------------------------------------------------------
// Export bodies

std::int32_t CreatePluginInstanceCall(TPluginCallRec* rec) noexcept {
    try {
        if (!RecordUsable(rec)) return -1;
        auto registry = Registry();
        if (rec->Instance != nullptr || !registry) return -1;
        // No instance yet to log to: the refusal is the answer.
        if (RecordFault(*rec, false)) return -1;
        PluginFactory factory = nullptr;
        {
            std::lock_guard<std::mutex> guard(g_module_lock);
            factory = g_factory;
        }
        std::shared_ptr<TzolPlugin> instance;
        {
            CallRecordScope scope(*rec);
            instance = factory != nullptr ? std::shared_ptr<TzolPlugin>(factory(rec))
                                          : std::make_shared<TzolPlugin>(rec);
        }
        instance->SelfHandle = instance.get();
        instance->AfterConstruction();
        {
            std::unique_lock<platform::SharedMutex> lock(registry->lock);
            registry->instances.push_back(instance);
        }
        rec->Instance = instance->SelfHandle;
        return 0;
    } catch (...) {
        platform::ReportCurrentException("CreatePluginInstance");
        return -1;
    }
}

std::int32_t FreePluginInstanceCall(TPluginCallRec* rec) noexcept {
    try {
        if (!RecordUsable(rec)) return -1;
        if (rec->InData.Kind == kDataReleaseAll && rec->InData.Value.Number == kReleaseAllValue) {
            std::vector<std::function<void()>> routines;
            {
                std::lock_guard<std::mutex> guard(g_module_lock);
                routines.swap(g_shutdown_routines);
            }
            if (routines.empty()) return 0;
            if (AllInstances().empty()) platform::ShutdownCrashReporting();
            for (auto& routine : routines) {
                try {
                    routine();
                } catch (...) {
                }
            }
            return 0;
        }
        auto registry = Registry();
        if (rec->Instance == nullptr || !registry) return -1;
        std::shared_ptr<TzolPlugin> doomed;
        {
            std::unique_lock<platform::SharedMutex> lock(registry->lock);
            auto& list = registry->instances;
            auto it = std::find_if(list.begin(), list.end(),
                                   [&](const auto& p) { return p->SelfHandle == rec->Instance; });
            if (it == list.end()) return -1;
            doomed = *it;
            list.erase(it);
        }
        doomed.reset();  // freed outside the lock (or by the last call still using it)
        return 0;
    } catch (...) {
        platform::ReportCurrentException("FreePluginInstance");
        return -1;
    }
}

std::uint8_t GetModuleInfoCall(TPluginCallRec* rec, std::uint8_t* info,
                               std::int32_t* needed) noexcept {
    try {
        std::int32_t dummy = 0;
        const bool needed_usable = needed == nullptr || platform::IsWritableMemory(needed, 4);
        if (needed == nullptr || !needed_usable) needed = &dummy;
        *needed = 0;
        if (!RecordUsable(rec)) return 0;
        auto instance = FindInstance(rec->Instance);
        if (!instance) return 0;
        if (!needed_usable) {
            instance->Log(0,
                          "{MODULEINFO} The needed size of the module-information buffer "
                          "cannot be written");
            return 0;
        }
        return instance->FillModuleInfo(info, needed) ? 1 : 0;
    } catch (...) {
        platform::ReportCurrentException("GetModuleInfo");
        return 0;
    }
}

std::int32_t ExecutePluginCommandCall(TPluginCallRec* rec) noexcept {
    if (!RecordUsable(rec)) return -1;
    if (rec->Instance == nullptr || !platform::IsReadableMemory(rec->Instance, 4)) return -1;
    auto instance = FindInstance(rec->Instance);
    if (!instance) return -1;
    if (!RecordAccepted(*instance, *rec, "CMD?", false)) return -1;
    try {
        CallRecordScope scope(*rec);
        return instance->ExecuteCommand(*rec);
    } catch (...) {
        instance->LogCommandFailure("CMD?", CurrentExceptionMessage());
        return -3;
    }
}

std::int32_t ProcessDataCall(TPluginCallRec* rec) noexcept {
    // The record, its lists and its received bytes are probed one after the other, by the
    // checks here and by the record's conversion: they share the regions they look up (each
    // lookup is a system call) until the record is converted.
    platform::ProbeMemo record_checks;
    if (!RecordUsable(rec)) return -1;
    auto instance = FindInstance(rec->Instance);
    if (!instance) return -1;
    if (!RecordAccepted(*instance, *rec, "PROCESS", true)) return -1;
    try {
        for (std::uint32_t waited = 0; instance->Busy != 0 && instance->Unloaded != 0;
             waited += 50) {
            if (waited >= 30000) return -1;
            record_checks.End();  // messages are handled while waiting
            platform::WaitProcessingMessages(50);
        }
        if (instance->Unloaded != 0 || !Registry()) return -1;
        instance->Busy = 1;
        struct BusyGuard {
            TzolPlugin& p;
            ~BusyGuard() { p.Busy = 0; }
        } busy{*instance};
        try {
            return instance->ProcessDataCall(*rec, &record_checks);
        } catch (...) {
            instance->LogCommandFailure("PROCESS", CurrentExceptionMessage());
            return -3;
        }
    } catch (...) {
        return -3;
    }
}

std::int32_t GetLogExCall(TPluginCallRec* rec) noexcept {
    try {
        if (!RecordUsable(rec)) return 0;
        rec->OutData.Kind = kDataResultValue;
        rec->OutData.Value.Number = 0;
        auto instance = FindInstance(rec->Instance);
        if (!instance) return 0;
        auto* buffer = static_cast<char*>(rec->InData.Value.Ptr);
        const std::int32_t size = rec->InData.Size;
        // A buffer that cannot take `size` bytes is treated as too small: nothing is copied, the
        // log is kept and the host still learns the length to ask for.
        if (size > 0 && buffer != nullptr &&
            !platform::IsWritableMemory(buffer, static_cast<std::size_t>(size))) {
            buffer = nullptr;
            instance->Log(0, "{GETLOG} The log buffer of " + std::to_string(size) +
                                 " bytes cannot be written");
        }
        std::int32_t length = 0;
        const std::int32_t copied = instance->HostLog().Take(buffer, size, length);
        rec->OutData.Value.Number = static_cast<std::uint32_t>(length);
        return copied;
    } catch (...) {
        return 0;
    }
}

void GetOptionsDialogCall(TPluginCallRec* rec) noexcept {
    try {
        if (!RecordUsable(rec)) return;
        rec->OutData.Kind = kDataResultValue;
        rec->OutData.Size = 0;
        rec->OutData.Value.Number = 1;
        auto instance = FindInstance(rec->Instance);
        if (!instance) return;
        instance->GetOptionsDialogCall(*rec);
    } catch (...) {
        platform::ReportCurrentException("GetOptionsDialog");
    }
}

void ShowOptionsDialogCall(TPluginCallRec* rec) noexcept {
    std::shared_ptr<TzolPlugin> instance;
    try {
        if (!RecordUsable(rec)) return;
        rec->OutData.Kind = kDataResultValue;
        rec->OutData.Size = 4;
        rec->OutData.Value.Number = 2;
        instance = FindInstance(rec->Instance);
        if (!instance) return;
        if (auto fault = RecordFault(*rec, false)) {
            instance->Log(0, "{SHOWOPTIONS} " + *fault);
            return;
        }
        instance->ShowOptionsDialogCall(*rec);
    } catch (...) {
        if (instance) instance->Log(0, CurrentExceptionMessage() + " {SHOWOPTIONS}");
    }
}

}  // namespace zol::plugins
