// Sound files that the page's reader does not read: the browser decodes
// them, at the file's own rate, which is read from the file's header (a
// decoder in the browser resamples to its context's rate).

"use strict";

// { container, rate } of a FLAC, Ogg (Vorbis, Opus, FLAC), MP3, MP4 or CAF
// file; rate 0 when it cannot be told.
function probeRate(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const text = (at, n) => (at + n <= bytes.length ? String.fromCharCode(...bytes.subarray(at, at + n)) : "");
    // FLAC: STREAMINFO's 20-bit rate, after the 4-byte block header.
    const flacRate = (at) => (at + 21 <= bytes.length ? (view.getUint32(at + 14, false) >>> 12) & 0xfffff : 0);

    if (text(0, 4) === "fLaC") return { container: "FLAC", rate: flacRate(4) };
    if (text(0, 4) === "OggS" && bytes.length > 27) {
        const packet = 27 + bytes[26];  // after the page header and its segment table
        if (text(packet, 7) === "\x01vorbis") return { container: "Ogg Vorbis", rate: view.getUint32(packet + 12, true) };
        if (text(packet, 8) === "OpusHead") return { container: "Ogg Opus", rate: 48000 };
        if (text(packet, 5) === "\x7fFLAC") return { container: "Ogg FLAC", rate: flacRate(packet + 13) };
        return { container: "Ogg", rate: 0 };
    }
    if (text(0, 4) === "caff") {
        // The desc chunk comes first: its rate is a big-endian double.
        if (text(8, 4) === "desc") return { container: "CAF", rate: Math.round(view.getFloat64(20, false)) };
        return { container: "CAF", rate: 0 };
    }
    if (text(4, 4) === "ftyp") {
        // The audio sample entry's rate (16.16 fixed point).
        for (const entry of ["mp4a", "alac", "fLaC", "Opus"]) {
            const at = indexOf(bytes, entry);
            if (at >= 0 && at + 32 <= bytes.length) return { container: "MP4", rate: view.getUint16(at + 28, false) };
        }
        return { container: "MP4", rate: 0 };
    }
    return mpegRate(bytes);
}

// The first MPEG audio frame's rate, after any ID3v2 tag.
function mpegRate(bytes) {
    let at = 0;
    if (bytes.length > 10 && bytes[0] === 0x49 && bytes[1] === 0x44 && bytes[2] === 0x33)
        at = 10 + ((bytes[6] << 21) | (bytes[7] << 14) | (bytes[8] << 7) | bytes[9]);
    const rates = { 3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000] };
    for (const end = Math.min(bytes.length - 4, at + 65536); at < end; ++at) {
        if (bytes[at] !== 0xff || (bytes[at + 1] & 0xe0) !== 0xe0) continue;
        const version = (bytes[at + 1] >> 3) & 3;
        const layer = (bytes[at + 1] >> 1) & 3;
        const index = (bytes[at + 2] >> 2) & 3;
        if (version === 1 || layer === 0 || index === 3 || (bytes[at + 2] >> 4) === 15) continue;
        return { container: layer === 1 ? "MP3" : "MPEG audio", rate: rates[version][index] };
    }
    return { container: null, rate: 0 };
}

function indexOf(bytes, tag) {
    const codes = [...tag].map((ch) => ch.charCodeAt(0));
    for (let at = 0; at + 4 <= bytes.length; ++at)
        if (codes.every((c, k) => bytes[at + k] === c)) return at;
    return -1;
}

// The rates an OfflineAudioContext takes in every browser the page is for.
const BROWSER_RATE_MIN = 8000;
const BROWSER_RATE_MAX = 192000;

// Decodes `buffer` with the browser's decoders at `rate` (the file's own
// when known). Resolves to one Float32Array per channel.
async function decodeByBrowser(buffer, rate) {
    const context = new OfflineAudioContext(1, 1, rate);
    const audio = await context.decodeAudioData(buffer.slice(0));
    return Array.from({ length: audio.numberOfChannels }, (_, c) => audio.getChannelData(c));
}
