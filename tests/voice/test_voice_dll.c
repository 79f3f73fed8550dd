/* tvvoice.dll as a Windows program that wants only the codec uses it: loaded by name with
 * LoadLibraryW, its seven calls found with GetProcAddress, and a fixed frame decoded to the same
 * samples as the Linux library gives (the hashes below come from the Linux build). */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "torvane/voice.h"

typedef int32_t (*GetVersionFn)(char*);
typedef int32_t (*ResetFn)(VoiceCodecState*, int32_t);
typedef int32_t (*DecodeFn)(VoiceCodecState*, VoiceFrame*, int16_t*, int16_t*);

/* FNV-1a over the samples as 16-bit little-endian bytes. */
static uint64_t pcm_hash(const int16_t* pcm, int count) {
    uint64_t hash = 1469598103934665603ULL;
    for (int i = 0; i < count; ++i) {
        const uint16_t sample = (uint16_t)pcm[i];
        hash = (hash ^ (sample & 0xFFu)) * 1099511628211ULL;
        hash = (hash ^ (sample >> 8)) * 1099511628211ULL;
    }
    return hash;
}

int main(void) {
    HMODULE dll = LoadLibraryW(L"tvvoice.dll");
    if (dll == NULL) {
        fprintf(stderr, "tvvoice.dll: not loaded (error %lu)\n", GetLastError());
        return 1;
    }
    static const char* const names[] = {"TV_VOICE_GetVersion",    "TV_VOICE_EncReset",
                                        "TV_VOICE_DecReset",      "TV_VOICE_EncodeFrame",
                                        "TV_VOICE_DecodeFrame",   "TV_VOICE_TransCodeReset",
                                        "TV_VOICE_TransCodeFrame"};
    int failures = 0;
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if (GetProcAddress(dll, names[i]) == NULL) {
            fprintf(stderr, "tvvoice.dll: no %s\n", names[i]);
            ++failures;
        }
    }
    if (failures != 0) return 1;
    GetVersionFn get_version = (GetVersionFn)(void*)GetProcAddress(dll, "TV_VOICE_GetVersion");
    ResetFn dec_reset = (ResetFn)(void*)GetProcAddress(dll, "TV_VOICE_DecReset");
    DecodeFn decode = (DecodeFn)(void*)GetProcAddress(dll, "TV_VOICE_DecodeFrame");

    char version[64] = {0};
    if (get_version(version) != 0 ||
        strcmp(version, "TV_VOICE_VERSION=TV3000_VOICELIB_V1.0.0.0") != 0) {
        fprintf(stderr, "tvvoice.dll: version \"%s\"\n", version);
        ++failures;
    }

    /* G.726 at 32 kbit/s, and IMA ADPCM with its first sample and step in the payload. */
    static const struct {
        int32_t mode;
        uint8_t words;
        int16_t samples;
        uint64_t hash;
    } cases[] = {{VOICE_MODE_G726_32, 80, 320, 0xc8f32ffb6c4f0154ULL},
                 {VOICE_MODE_ADPCM_FIRST, 82, 321, 0xcef2fe9b3b2ecc91ULL}};
    for (size_t c = 0; c < sizeof cases / sizeof cases[0]; ++c) {
        VoiceFrame frame;
        memset(&frame, 0, sizeof frame);
        frame.flags[1] = VOICE_FRAME_NORMAL; /* the frame type, bits 8-9 */
        frame.payload_words = cases[c].words;
        for (int i = 0; i < 2 * cases[c].words; ++i) frame.payload[i] = (uint8_t)(i * 73 + 29);
        VoiceCodecState state;
        int16_t pcm[VOICE_MAX_DECODED_SAMPLES];
        int16_t count = 0;
        const int32_t reset = dec_reset(&state, cases[c].mode);
        const int32_t result = decode(&state, &frame, pcm, &count);
        if (reset != 0 || result != 0 || count != cases[c].samples ||
            pcm_hash(pcm, count) != cases[c].hash) {
            fprintf(stderr, "tvvoice.dll: mode %d: reset %d, decode %d, %d samples, hash %016llx\n",
                    (int)cases[c].mode, (int)reset, (int)result, (int)count,
                    (unsigned long long)pcm_hash(pcm, count));
            ++failures;
        }
    }
    FreeLibrary(dll);
    if (failures == 0) printf("tvvoice.dll: seven calls, version and decoded frames as on Linux\n");
    return failures == 0 ? 0 : 1;
}
