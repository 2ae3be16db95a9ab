// The tests' inputs, made the same way on every run: sounds as samples, and
// WAV and AIFF files of them in each sample format the page reads itself.

// A generator of 32-bit values (xorshift), from `seed`.
function random(seed) {
    let s = seed >>> 0 || 1;
    return () => {
        s ^= s << 13;
        s >>>= 0;
        s ^= s >>> 17;
        s ^= s << 5;
        s >>>= 0;
        return s / 2 ** 32;
    };
}

// Music-like test material at full scale 1.0: tones that change, a loud
// stretch beyond full scale (which overflows the exact encoder), and noise.
// `channel` varies the tones.
export function signal(frames, seed = 1, channel = 0) {
    const next = random(seed * 7919 + channel);
    const out = new Float64Array(frames);
    for (let i = 0; i < frames; ++i) {
        const loud = i % 24000 > 18000 ? 1.6 : 0.5;
        const tone = Math.sin(i * (0.031 + 0.004 * channel)) * 0.6 + Math.sin(i * 0.173 + channel) * 0.25;
        out[i] = loud * tone + (next() - 0.5) * 0.05;
        // Every fifth value halfway between two 16-bit steps (exactly, in
        // the formats of more than 16 bits), where the rounding decides.
        if (i % 5 === 0) out[i] = (Math.floor(out[i] * 32768) + 0.5) / 32768;
    }
    return out;
}

// Raw 16-bit samples of the signal.
export function pcm16(frames, seed = 1) {
    return Int16Array.from(signal(frames, seed), (v) => Math.max(-32768, Math.min(32767, Math.round(v * 32767))));
}

// The sample formats of the reader's tests: how each stores a value.
// `quantise` maps a full-scale value to the stored number (integer formats
// use every bit of their width).
const FORMATS = {
    u8: { bits: 8, kind: "int" },
    s8: { bits: 8, kind: "int" },
    s16: { bits: 16, kind: "int" },
    s24: { bits: 24, kind: "int" },
    s32: { bits: 32, kind: "int" },
    f32: { bits: 32, kind: "float" },
    f64: { bits: 64, kind: "float" },
};

function storeSample(view, at, value, format, little) {
    const { bits, kind } = FORMATS[format];
    if (kind === "float") {
        if (bits === 32) view.setFloat32(at, value, little);
        else view.setFloat64(at, value, little);
        return;
    }
    const scale = 2 ** (bits - 1);
    const n = Math.max(-scale, Math.min(scale - 1, Math.floor(value * scale)));
    if (format === "u8") view.setUint8(at, n + 128);
    else if (bits === 8) view.setInt8(at, n);
    else if (bits === 16) view.setInt16(at, n, little);
    else if (bits === 32) view.setInt32(at, n, little);
    else {
        const u = n & 0xffffff;
        const order = little ? [0, 1, 2] : [2, 1, 0];
        order.forEach((shift, k) => view.setUint8(at + k, (u >> (8 * shift)) & 0xff));
    }
}

function interleaved(channels, format, little) {
    const width = FORMATS[format].bits / 8;
    const frames = channels[0].length;
    const bytes = new Uint8Array(frames * channels.length * width);
    const view = new DataView(bytes.buffer);
    let at = 0;
    for (let f = 0; f < frames; ++f)
        for (const c of channels) {
            storeSample(view, at, c[f], format, little);
            at += width;
        }
    return bytes;
}

function chunk(id, body, little) {
    const out = new Uint8Array(8 + body.length + (body.length % 2));
    const view = new DataView(out.buffer);
    [...id].forEach((ch, k) => view.setUint8(k, ch.charCodeAt(0)));
    view.setUint32(4, body.length, little);
    out.set(body, 8);
    return out;
}

function concat(parts) {
    const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
    let at = 0;
    for (const p of parts) {
        out.set(p, at);
        at += p.length;
    }
    return out;
}

function riff(form, chunks, little) {
    const body = concat([new TextEncoder().encode(form), ...chunks]);
    return chunk(little ? "RIFF" : "FORM", body, little);
}

// A WAV file of `channels` (Float64Arrays) at `rate`; `extensible` writes
// WAVE_FORMAT_EXTENSIBLE; `container` is "RIFF", "RIFX" (big-endian) or
// "RF64" (its sizes in a ds64 chunk).
export function wavFile(channels, rate, format, { extensible = false, container = "RIFF" } = {}) {
    const { bits, kind } = FORMATS[format];
    const little = container !== "RIFX";
    const fmt = new Uint8Array(extensible ? 40 : 16);
    const view = new DataView(fmt.buffer);
    const tag = kind === "float" ? 3 : 1;
    view.setUint16(0, extensible ? 0xfffe : tag, little);
    view.setUint16(2, channels.length, little);
    view.setUint32(4, rate, little);
    view.setUint32(8, (rate * channels.length * bits) / 8, little);
    view.setUint16(12, (channels.length * bits) / 8, little);
    view.setUint16(14, bits, little);
    if (extensible) {
        view.setUint16(16, 22, little);
        view.setUint16(18, bits, little);
        view.setUint32(20, channels.length === 2 ? 3 : 4, little);
        // The sub-format GUID: the tag, then the standard tail.
        const guid = [0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71];
        view.setUint16(24, tag, little);
        guid.forEach((b, k) => view.setUint8(26 + k, b));
    }
    const samples = interleaved(channels, format, little);
    const data = chunk("data", samples, little);
    const chunks = [chunk("fmt ", fmt, little), data];
    if (container === "RF64") {
        // The real sizes in a ds64 chunk; the 32-bit ones say "see ds64".
        const ds64 = chunk("ds64", new Uint8Array(28), true);
        const sizes = new DataView(ds64.buffer, 8);
        sizes.setBigUint64(0, BigInt(4 + ds64.length + chunks[0].length + data.length), true);  // the file's
        sizes.setBigUint64(8, BigInt(samples.length), true);  // the data's
        sizes.setBigUint64(16, BigInt(channels[0].length), true);  // the frames
        new DataView(data.buffer).setUint32(4, 0xffffffff, true);
        chunks.unshift(ds64);
    }
    const file = riff("WAVE", chunks, little);
    file.set(new TextEncoder().encode(container));
    if (container === "RF64") new DataView(file.buffer).setUint32(4, 0xffffffff, true);
    return file;
}

// An AIFF file, or an AIFF-C file with `compression` ("sowt", "fl32",
// "fl64", "NONE", "twos", "in24", "in32").
export function aiffFile(channels, rate, format, compression = null) {
    const { bits } = FORMATS[format];
    const comm = new Uint8Array(compression ? 24 : 18);
    const view = new DataView(comm.buffer);
    view.setInt16(0, channels.length, false);
    view.setUint32(2, channels[0].length, false);
    view.setInt16(6, bits, false);
    // The rate as an 80-bit extended float.
    const exponent = Math.floor(Math.log2(rate));
    view.setUint16(8, 16383 + exponent, false);
    const mantissa = BigInt(rate) << BigInt(63 - exponent);
    view.setUint32(10, Number(mantissa >> 32n), false);
    view.setUint32(14, Number(mantissa & 0xffffffffn), false);
    if (compression) [...compression].forEach((ch, k) => view.setUint8(18 + k, ch.charCodeAt(0)));
    const little = compression === "sowt";
    const ssnd = concat([new Uint8Array(8), interleaved(channels, format, little)]);
    const chunks = [chunk("COMM", comm, false), chunk("SSND", ssnd, false)];
    if (compression) chunks.unshift(chunk("FVER", new Uint8Array([0xa2, 0x80, 0x51, 0x40]), false));
    return riff(compression ? "AIFC" : "AIFF", chunks, false);
}

// The reader's cases: a name, and the file's bytes.
export function readerCases() {
    const mono = [signal(3001, 2)];
    const stereo = [signal(2003, 3, 0), signal(2003, 3, 1)];
    return [
        ["WAV 8-bit", wavFile(mono, 22050, "u8")],
        ["WAV 16-bit stereo", wavFile(stereo, 44100, "s16")],
        ["WAV 24-bit", wavFile(mono, 48000, "s24")],
        ["WAV 32-bit", wavFile(mono, 32000, "s32")],
        ["WAV float", wavFile(stereo, 44100, "f32")],
        ["WAV double", wavFile(mono, 44100, "f64")],
        ["WAV extensible 24-bit stereo", wavFile(stereo, 96000, "s24", { extensible: true })],
        ["AIFF 8-bit", aiffFile(mono, 11025, "s8")],
        ["AIFF 16-bit stereo", aiffFile(stereo, 44100, "s16")],
        ["AIFF 24-bit", aiffFile(mono, 48000, "s24")],
        ["AIFF 32-bit", aiffFile(mono, 8000, "s32")],
        ["AIFF-C sowt", aiffFile(stereo, 22050, "s16", "sowt")],
        ["AIFF-C fl32", aiffFile(mono, 44100, "f32", "fl32")],
        ["AIFF-C fl64", aiffFile(stereo, 48000, "f64", "fl64")],
    ];
}

// The module's cases on raw samples.
export const RAW_SAMPLES = 70001;  // more than one piece of the module's calls
export const PREPARE = { frames: 30011, rate: 44100, rateTo: 22050, gainDb: -3, width: 16 };
export function prepareFile() {
    const { frames, rate } = PREPARE;
    return wavFile([signal(frames, 5, 0), signal(frames, 5, 1)], rate, "f32");
}

// The browser test's file, and what it chooses in the page.
export const PAGE = { frames: 110250, rate: 44100, rateTo: 22050, width: 64 };
export function pageFile() {
    const { frames, rate } = PAGE;
    return wavFile([signal(frames, 9, 0), signal(frames, 9, 1)], rate, "s24");
}
