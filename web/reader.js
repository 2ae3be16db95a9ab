// The page's own reader of uncompressed WAV and AIFF files: integer PCM of
// 8 to 32 bits and 32- or 64-bit floating point, into one Float64Array per
// channel at full scale 1.0, with the values libsndfile gives nbzhq (an
// integer sample s of a b-bit container is s / 2^(b-1); 8-bit WAV is
// unsigned, 8-bit AIFF signed; floating point as it stands).

"use strict";

// What a file holds: { container, rate, channelCount, sampleFormat,
// channels } where channels is null when the page cannot read the samples
// itself (compressed data in a WAV or AIFF, or another container), and
// container is null when it is neither WAV nor AIFF. Throws an Error with a
// message for a WAV or AIFF file that is broken.
function readSoundFile(buffer) {
    const bytes = new Uint8Array(buffer);
    const tag = (at) => String.fromCharCode(...bytes.subarray(at, at + 4));
    if (bytes.length >= 12 && ["RIFF", "RIFX", "RF64"].includes(tag(0)) && tag(8) === "WAVE") return readWav(bytes);
    if (bytes.length >= 12 && tag(0) === "FORM" && (tag(8) === "AIFF" || tag(8) === "AIFC")) return readAiff(bytes);
    return { container: null, rate: 0, channelCount: 0, sampleFormat: "", channels: null };
}

// The chunks of a RIFF or IFF file after its 12-byte header: [{id, at,
// size}] where `at` is the start of the data and `size` what the file
// really holds of it. `sizeOf(id, stored)` may replace a stored size.
function soundChunks(bytes, view, little, sizeOf) {
    const chunks = [];
    for (let at = 12; at + 8 <= bytes.length; ) {
        const id = String.fromCharCode(...bytes.subarray(at, at + 4));
        const stored = sizeOf(id, view.getUint32(at + 4, little));
        const size = Math.min(stored, bytes.length - at - 8);
        chunks.push({ id, at: at + 8, size });
        at += 8 + stored + (stored % 2);
    }
    return chunks;
}

function readWav(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const kind = String.fromCharCode(...bytes.subarray(0, 4));
    const little = kind !== "RIFX";
    let dataSize64 = null;
    // RF64 keeps the data's real size in its ds64 chunk.
    const sizeOf = (id, stored) => {
        if (id === "data" && stored === 0xffffffff && dataSize64 !== null) return dataSize64;
        return stored;
    };
    if (kind === "RF64" && bytes.length >= 36 && String.fromCharCode(...bytes.subarray(12, 16)) === "ds64")
        dataSize64 = view.getUint32(28, true) + view.getUint32(32, true) * 2 ** 32;
    const chunks = soundChunks(bytes, view, little, sizeOf);
    const fmt = chunks.find((c) => c.id === "fmt ");
    const data = chunks.find((c) => c.id === "data");
    if (!fmt || fmt.size < 16) throw new Error("This WAV file has no format chunk.");
    let tag = view.getUint16(fmt.at, little);
    const channelCount = view.getUint16(fmt.at + 2, little);
    const rate = view.getUint32(fmt.at + 4, little);
    const bits = view.getUint16(fmt.at + 14, little);
    if (tag === 0xfffe && fmt.size >= 40) tag = view.getUint16(fmt.at + 24, little);  // the sub-format's tag
    const result = { container: "WAV", rate, channelCount, sampleFormat: "", channels: null };
    if (channelCount < 1 || rate < 1) throw new Error("This WAV file's format chunk is damaged.");
    if (!data) throw new Error("This WAV file has no data chunk.");
    let encoding = null;
    if (tag === 1 && bits >= 1 && bits <= 32) encoding = bits <= 8 ? "u8" : "int";
    if (tag === 3 && (bits === 32 || bits === 64)) encoding = `float${bits}`;
    if (!encoding) {
        result.sampleFormat = `format ${tag}, ${bits} bits`;
        return result;
    }
    return decodeSamples(result, view, data, { encoding, bytes: Math.ceil(bits / 8), little });
}

// An 80-bit extended float as a whole number of Hz, truncated.
function extendedRate(view, at) {
    const exponent = view.getUint16(at, false);
    const mantissa = view.getUint32(at + 2, false) * 2 ** 32 + view.getUint32(at + 6, false);
    if (exponent & 0x8000) return 0;
    return Math.floor(mantissa * 2 ** (exponent - 16383 - 63));
}

function readAiff(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const compressed = String.fromCharCode(...bytes.subarray(8, 12)) === "AIFC";
    const chunks = soundChunks(bytes, view, false, (id, stored) => stored);
    const comm = chunks.find((c) => c.id === "COMM");
    const ssnd = chunks.find((c) => c.id === "SSND");
    if (!comm || comm.size < 18) throw new Error("This AIFF file has no COMM chunk.");
    const channelCount = view.getInt16(comm.at, false);
    const bits = view.getInt16(comm.at + 6, false);
    const rate = extendedRate(view, comm.at + 8);
    const compression =
        compressed && comm.size >= 22 ? String.fromCharCode(...bytes.subarray(comm.at + 18, comm.at + 22)) : "NONE";
    const result = { container: compressed ? "AIFF-C" : "AIFF", rate, channelCount, sampleFormat: "", channels: null };
    if (channelCount < 1 || rate < 1) throw new Error("This AIFF file's COMM chunk is damaged.");
    if (!ssnd || ssnd.size < 8) throw new Error("This AIFF file has no sound data.");
    const known = {
        NONE: ["int", false],
        twos: ["int", false],
        sowt: ["int", true],
        in24: ["int", false],
        in32: ["int", false],
        "raw ": ["u8", false],
        fl32: ["float32", false],
        FL32: ["float32", false],
        fl64: ["float64", false],
        FL64: ["float64", false],
    }[compression];
    let width = Math.ceil(bits / 8);
    if (compression === "in24") width = 3;
    if (compression === "in32") width = 4;
    if (compression.toLowerCase() === "fl32") width = 4;
    if (compression.toLowerCase() === "fl64") width = 8;
    if (!known || (known[0] === "int" && (bits < 1 || bits > 32)) || (known[0] === "u8" && width !== 1)) {
        result.sampleFormat = `compression '${compression}', ${bits} bits`;
        return result;
    }
    const offset = view.getUint32(ssnd.at, false);
    const data = { at: ssnd.at + 8 + offset, size: Math.max(0, ssnd.size - 8 - offset) };
    return decodeSamples(result, view, data, { encoding: known[0], bytes: width, little: known[1] });
}

// Fills result.channels from the interleaved frames of `data`.
function decodeSamples(result, view, data, { encoding, bytes, little }) {
    const count = result.channelCount;
    const frames = Math.floor(data.size / (bytes * count));
    const channels = Array.from({ length: count }, () => new Float64Array(frames));
    const read = sampleReader(view, encoding, bytes, little);
    let at = data.at;
    for (let f = 0; f < frames; ++f)
        for (let c = 0; c < count; ++c, at += bytes) channels[c][f] = read(at);
    result.channels = channels;
    result.sampleFormat = encoding.startsWith("float") ? `${bytes * 8}-bit float` : `${bytes * 8}-bit PCM`;
    return result;
}

// A function from a sample's byte offset to its value at full scale 1.0.
function sampleReader(view, encoding, bytes, little) {
    if (encoding === "float32") return (at) => view.getFloat32(at, little);
    if (encoding === "float64") return (at) => view.getFloat64(at, little);
    if (encoding === "u8") return (at) => (view.getUint8(at) - 128) / 128;
    if (bytes === 1) return (at) => view.getInt8(at) / 128;
    if (bytes === 2) return (at) => view.getInt16(at, little) / 32768;
    if (bytes === 4) return (at) => view.getInt32(at, little) / 2147483648;
    // Three bytes: the top one signed.
    return little
        ? (at) => (view.getInt8(at + 2) * 65536 + view.getUint16(at, true)) / 8388608
        : (at) => (view.getInt8(at) * 65536 + view.getUint16(at + 1, false)) / 8388608;
}

if (typeof module === "object" && module.exports) module.exports = { readSoundFile };
