#pragma once
// The audio hardware seam of vkoido: exactly the hardware operations the capture calls, with
// the names, ids, selectors and statuses its logic relies on. Behind it: the system backend
// (audioHardwareDelSistema()) and, in the tests, a scriptable double.
//
// Contract for every implementation:
//  - Every method is called from the main thread only, one call at a time. A method may block
//    for a short while (a round trip to a sound server), never indefinitely: a server that is
//    gone makes calls fail fast with a nonzero status.
//  - A status of 0 (kAudioHardwareNoError) means success and every out value written; any other
//    status means the out values are not to be trusted.
//  - Object ids are never 0 for a live object; 0 means "none".
//  - Destroying an object whose server has gone must be safe and must not block.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Despacho.h"

using OSStatus = std::int32_t;
using AudioObjectID = std::uint32_t;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;
// An IOProc id: opaque, never 0 for a created IOProc.
using AudioDeviceIOProcID = std::uint64_t;

// The 32-bit value of four ASCII characters, first character in the high byte: 'dOut'.
constexpr std::uint32_t cuatroCar(const char (&c)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(c[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(c[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(c[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c[3]));
}

constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Statuses.
constexpr OSStatus kAudioHardwareNoError = 0;
constexpr OSStatus kAudio_ParamError = -50;
constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(cuatroCar("stop"));
constexpr OSStatus kAudioHardwareUnspecifiedError = static_cast<OSStatus>(cuatroCar("what"));
constexpr OSStatus kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(cuatroCar("who?"));
constexpr OSStatus kAudioHardwareBadPropertySizeError = static_cast<OSStatus>(cuatroCar("!siz"));
constexpr OSStatus kAudioHardwareIllegalOperationError = static_cast<OSStatus>(cuatroCar("nope"));
constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(cuatroCar("!obj"));
constexpr OSStatus kAudioHardwareBadDeviceError = static_cast<OSStatus>(cuatroCar("!dev"));
constexpr OSStatus kAudioHardwareUnsupportedOperationError = static_cast<OSStatus>(cuatroCar("unop"));

// Property addresses: scope and element.
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = cuatroCar("glob");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

// Selectors the capture reads or listens to.
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice = cuatroCar("dOut");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = cuatroCar("dev#");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = cuatroCar("uid ");
constexpr AudioObjectPropertySelector kAudioObjectPropertyName = cuatroCar("lnam");
constexpr AudioObjectPropertySelector kAudioDevicePropertyTransportType = cuatroCar("tran");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsAlive = cuatroCar("livn");
constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = cuatroCar("tfmt");
constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate = cuatroCar("nsrt");
// On a started aggregate device, a 32-bit signed count of frames at its rate: audio the
// platform has captured for the IOProc and not yet handed to its block (held by the server,
// on its way, or waiting on the queue); below 0 when the next audio to come is already known
// to start that much later (what the device played before anyone listened). The timeline
// leaves what is on its way out of the padding.
constexpr AudioObjectPropertySelector kAudioDevicePropertyLatency = cuatroCar("ltnc");

// Transport types ('tran').
constexpr std::uint32_t kAudioDeviceTransportTypeVirtual = cuatroCar("virt");
constexpr std::uint32_t kAudioDeviceTransportTypeBuiltIn = cuatroCar("bltn");
constexpr std::uint32_t kAudioDeviceTransportTypeUnknown = 0;

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector = 0;
    AudioObjectPropertyScope mScope = kAudioObjectPropertyScopeGlobal;
    AudioObjectPropertyElement mElement = kAudioObjectPropertyElementMain;
};

// Stream formats ('tfmt'): 40 bytes, as the hardware layer lays them out.
constexpr std::uint32_t kAudioFormatLinearPCM = cuatroCar("lpcm");
constexpr std::uint32_t kAudioFormatFlagIsFloat = 1U << 0;
constexpr std::uint32_t kAudioFormatFlagIsBigEndian = 1U << 1;
constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1U << 2;
constexpr std::uint32_t kAudioFormatFlagIsPacked = 1U << 3;
constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1U << 5;

struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    std::uint32_t mFormatID = 0;
    std::uint32_t mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

// One IO cycle's audio. Interleaved data comes in one buffer; non-interleaved data in one
// buffer per channel. The memory belongs to whoever delivers it and is valid for the call only.
struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};
constexpr std::uint32_t kMaxBuffersPorLista = 16;
struct AudioBufferList {
    std::uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[kMaxBuffersPorLista];
};

struct AudioTimeStamp {
    double mSampleTime = 0;
    std::uint64_t mHostTime = 0;
};

// A process tap's description. The capture uses only the global stereo form, private and
// unmuted, with no process excluded.
constexpr int CATapUnmuted = 0;
constexpr int CATapMuted = 1;
constexpr int CATapMutedWhenTapped = 2;
struct CATapDescription {
    std::vector<AudioObjectID> procesosExcluidos;  // the output of every other process is tapped
    bool estereoGlobal = true;                     // mixed down to stereo
    bool isPrivate = false;
    int muteBehavior = CATapUnmuted;
    std::string UUID;  // standard 36-character form; the tap's UID in an aggregate device

    // A global stereo tap excluding the given processes, with a fresh random UUID.
    static CATapDescription stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> excluidos);
};

// A new random UUID (version 4) in its standard text form, upper-case hex.
std::string nuevoUUID();

// The IO block: current time, input buffer list, input time, output buffer list, output time.
// Runs on the queue given at IOProc creation, never on a platform thread.
using AudioDeviceIOBlock =
    std::function<void(const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                       const AudioTimeStamp*)>;

// A listener block: the number of addresses that changed and the addresses.
using AudioObjectPropertyListenerBlock =
    std::function<void(std::uint32_t, const AudioObjectPropertyAddress*)>;

class AudioHardware {
  public:
    virtual ~AudioHardware() = default;

    // Reads a fixed-size property ('dOut', 'tran', 'livn', 'tfmt', 'nsrt', ...). `ioDataSize`
    // holds the size of `outData` on entry and the bytes written on success. A wrong size gives
    // kAudioHardwareBadPropertySizeError; an unknown object kAudioHardwareBadObjectError; a
    // property the object lacks kAudioHardwareUnknownPropertyError.
    virtual OSStatus AudioObjectGetPropertyData(AudioObjectID objeto,
                                                const AudioObjectPropertyAddress& direccion,
                                                std::uint32_t qualifierDataSize, const void* qualifierData,
                                                std::uint32_t* ioDataSize, void* outData) = 0;

    // Reads a string property ('uid ', 'lnam') as UTF-8 text. `destino` is untouched on failure.
    virtual OSStatus AudioObjectGetPropertyString(AudioObjectID objeto,
                                                  const AudioObjectPropertyAddress& direccion,
                                                  std::string& destino) = 0;

    // Creates a process tap. On success *outTapID is nonzero and 'tfmt' on it gives the format
    // the tap delivers.
    virtual OSStatus AudioHardwareCreateProcessTap(const CATapDescription& descripcion,
                                                   AudioObjectID* outTapID) = 0;
    virtual OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tapID) = 0;

    // Creates an aggregate device from its description dictionary, keys as the capture writes
    // them: "name", "uid", "private", "stacked", "tapautostart", "taps" (array of {"drift",
    // "uid"}), and, for a non-virtual output, "master" and "subdevices" (array of {"uid"}).
    // On success *outDeviceID is nonzero and 'nsrt' on it gives its nominal rate.
    virtual OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json& descripcion,
                                                        AudioObjectID* outDeviceID) = 0;
    virtual OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID deviceID) = 0;

    // Creates an IOProc whose block the platform will run on `cola` (the write queue) for every
    // IO cycle once the device is started. On success *outIOProcID is nonzero.
    //
    // Per buffer, an implementation MAY: copy the cycle's audio into memory it preallocated,
    // and queue a preallocated Trabajo (Cola::encolar(Trabajo&)) whose ejecutar() calls the
    // block with an AudioBufferList over that memory. It MUST NOT: call the block on its own
    // threads, allocate, queue with Cola::encolar(std::function), or wait for the queue. When
    // its preallocated memory is all in use (the queue is behind), it drops the cycle.
    // The block holds what it needs (the writer) until the IOProc is destroyed.
    virtual OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID,
                                                        AudioObjectID deviceID, Cola& cola,
                                                        AudioDeviceIOBlock bloque) = 0;

    // Starts delivering IO cycles to the IOProc's block.
    virtual OSStatus AudioDeviceStart(AudioObjectID deviceID, AudioDeviceIOProcID procID) = 0;

    // After this returns no new IO cycle is queued for the IOProc; cycles already queued may
    // still run, and the caller drains the queue (ColaSerie::sincronizar) before destroying.
    virtual OSStatus AudioDeviceStop(AudioObjectID deviceID, AudioDeviceIOProcID procID) = 0;

    // Releases the IOProc and its block. Called after the stop and the drain; an implementation
    // may also stop first if the caller did not.
    virtual OSStatus AudioDeviceDestroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID procID) = 0;

    // Adds a listener: whenever the property changes the platform queues the block on `cola`
    // (the main queue), never running it on its own threads. Listeners are never removed.
    // On the system object: 'dOut' (the default output changed) and 'dev#' (the device list
    // changed; also fired when the connection to the sound server drops or comes back).
    virtual OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID objeto,
                                                         const AudioObjectPropertyAddress& direccion,
                                                         Cola& cola,
                                                         AudioObjectPropertyListenerBlock bloque) = 0;
};

// The system's backend; defined by the platform backend the executable links.
std::unique_ptr<AudioHardware> audioHardwareDelSistema();
