#pragma once
// The call record that every export receives and its data slots: packed, little-endian, 102
// bytes on the 32-bit target. Pointer fields are 4 bytes there; the native build keeps the
// field order with native pointers, so the offsets are asserted only where pointers are 4 bytes.

#include <cstddef>
#include <cstdint>

namespace zol::plugins {

#pragma pack(push, 1)

// One data slot of the call record.
struct TPluginData {
    std::int32_t Count;  // number of data packets
    std::int32_t Size;   // byte length or buffer capacity
    std::uint8_t Kind;   // what Value holds (see the kData* constants)
    union {
        void* Ptr;
        std::uint32_t Number;
    } Value;
};

struct TPluginCallRec {
    std::int32_t RecSize;  // 102; exports that check it refuse anything else
    std::uint8_t Flags;
    void* Instance;  // the instance handle written by CreatePluginInstance
    std::int32_t Tag;
    std::int32_t SourceId;
    std::int32_t ClientId;
    std::uint8_t StateMask;
    void* Params;  // pointer to an IzolParamsListA variable, or to a TzolParamsList object
    TPluginData InData;
    TPluginData OutData;
    char SourceName[50];  // 8-bit text, zero-padded
};

#pragma pack(pop)

constexpr bool kAbiPointersAre32Bit = sizeof(void*) == 4;

static_assert(!kAbiPointersAre32Bit || sizeof(TPluginData) == 13);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginData, Count) == 0);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginData, Size) == 4);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginData, Kind) == 8);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginData, Value) == 9);

static_assert(!kAbiPointersAre32Bit || sizeof(TPluginCallRec) == 102);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginCallRec, RecSize) == 0);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginCallRec, Flags) == 4);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginCallRec, Instance) == 5);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginCallRec, Tag) == 9);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginCallRec, SourceId) == 13);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginCallRec, ClientId) == 17);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginCallRec, StateMask) == 21);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginCallRec, Params) == 22);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginCallRec, InData) == 26);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginCallRec, OutData) == 39);
static_assert(!kAbiPointersAre32Bit || offsetof(TPluginCallRec, SourceName) == 52);

// The module-information record GetModuleInfo fills in the caller's buffer: this header, then the
// description and custom-command texts it points at, inside the same buffer. 33 bytes on the
// 32-bit target.
#pragma pack(push, 1)
struct TModuleInfo {
    std::int32_t Size;               // the caller's buffer size; left as given
    std::uint32_t TypeWord;          // module type, capabilities in the high word
    std::uint32_t InterfaceVersion;  // frame interface version: low word 4, high word 0
    float InfoVersion;
    std::uint8_t Flag;
    std::int32_t DescriptionLength;
    const char* Description;  // 8-bit text in the caller's buffer, not terminated
    std::int32_t CommandsLength;
    const char* Commands;
};
#pragma pack(pop)

static_assert(!kAbiPointersAre32Bit || sizeof(TModuleInfo) == 33);
static_assert(offsetof(TModuleInfo, Flag) == 16);
static_assert(offsetof(TModuleInfo, DescriptionLength) == 17);
static_assert(!kAbiPointersAre32Bit || offsetof(TModuleInfo, Description) == 21);
static_assert(!kAbiPointersAre32Bit || offsetof(TModuleInfo, CommandsLength) == 25);
static_assert(!kAbiPointersAre32Bit || offsetof(TModuleInfo, Commands) == 29);

// The record size the exports require: the 32-bit layout's size.
constexpr std::int32_t kCallRecSize = 102;

// Flags bits.
constexpr std::uint8_t kFlagExpectsInput = 0x04;     // the no-data message applies
constexpr std::uint8_t kFlagReportOutcome = 0x08;    // log the outcome of processing
constexpr std::uint8_t kFlagCopyInToOut = 0x20;      // no data handler: copy input to output
constexpr std::uint8_t kFlagParamsInterface = 0x40;  // set during a call given an interface
constexpr std::uint8_t kFlagCreatedByPlugin = 0x01;  // records the plug-in makes itself

// Data slot kinds.
constexpr std::uint8_t kDataListObject = 1;     // TzolParamsList*, used when its signature is right
constexpr std::uint8_t kDataOptionsForm = 2;    // output: options form packed into the buffer
constexpr std::uint8_t kDataRawBytes = 4;       // pointer to Size raw bytes
constexpr std::uint8_t kDataResultValue = 5;    // output: a 32-bit result value
constexpr std::uint8_t kDataReleaseAll = 6;     // with Value 0xFF01: release everything
constexpr std::uint8_t kDataControlCode = 7;    // input: control code for the protocol clients
constexpr std::uint8_t kDataListUnchecked = 8;  // TzolParamsList*, no signature check
constexpr std::uint8_t kDataListInterface = 9;  // pointer to an IzolParamsListA variable

constexpr std::uint32_t kReleaseAllValue = 0xFF01;

// Kinds of Vantor_SendDataEx calls.
constexpr std::int32_t kSendRawBytes = 0x81;
constexpr std::int32_t kSendDataPacket = 9;

// Window messages posted to the host's message window.
constexpr std::uint32_t kMsgLogPending = 0x0711;
constexpr std::uint32_t kMsgReloadSettings = 0x0714;

}  // namespace zol::plugins
