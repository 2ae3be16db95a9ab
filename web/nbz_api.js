// The nbz module's JavaScript interface: typed arrays in and out, over the
// C interface compiled to WebAssembly (`core`, made by createNbzCore).
// Classic script: the build puts it after the compiled core, in node's
// nbz.cjs and in the page's worker.

"use strict";

// Samples per call into the module, so that the heap stays small however
// long the sound is.
const NBZ_PIECE = 1 << 16;

function nbzInterface(core) {
    const errorText = (code) => core.UTF8ToString(core._nbz_error_text(code));
    // Codes that mean an argument out of range rather than a failure.
    const rangeCodes = new Set([-2, -3, -4, -5, -6, -9]);

    function check(code, what) {
        if (code >= 0) return;
        const E = rangeCodes.has(code) ? RangeError : Error;
        throw new E(`${what}: ${errorText(code)}`);
    }

    // Runs fn with heap blocks of the given byte sizes, freed afterwards
    // (the views must be taken after every allocation: the heap may grow).
    function withHeap(sizes, fn) {
        const blocks = [];
        try {
            for (const size of sizes) {
                const p = core._malloc(Math.max(size, 8));
                if (!p) throw new Error("nbz: out of memory");
                blocks.push(p);
            }
            return fn(...blocks);
        } finally {
            for (const p of blocks) core._free(p);
        }
    }

    const u8 = (p, n) => new Uint8Array(core.HEAPU8.buffer, p, n);
    const i16 = (p, n) => new Int16Array(core.HEAPU8.buffer, p, n);
    const f64 = (p, n) => new Float64Array(core.HEAPU8.buffer, p, n);
    const u32At = (p) => new Uint32Array(core.HEAPU8.buffer, p, 1)[0];

    function needPcm(pcm, what) {
        if (!(pcm instanceof Int16Array)) throw new TypeError(`${what}: the samples must be an Int16Array`);
    }
    function needStream(stream, what) {
        if (!(stream instanceof Uint8Array)) throw new TypeError(`${what}: the stream must be a Uint8Array`);
        if (stream.length % 4 !== 0)
            throw new RangeError(`${what}: the stream's length (${stream.length}) is not a multiple of 4 bytes`);
    }
    function needWidth(width, what) {
        if (typeof width !== "number") throw new TypeError(`${what}: the width must be a number`);
        if (!Number.isInteger(width) || width < 1 || width > 64)
            throw new RangeError(`${what}: the width must be a whole number from 1 to 64, not ${width}`);
    }
    function needRate(rate, what) {
        if (typeof rate !== "number") throw new TypeError(`${what} must be a number`);
        if (!Number.isInteger(rate) || rate < 1 || rate > 2147483647)
            throw new RangeError(`${what} must be a whole number of Hz from 1 to 2147483647, not ${rate}`);
    }

    const streamBytes = (samples) => 4 * Math.ceil(samples / 8);

    // The exact encoder's stream of `pcm`.
    function encode(pcm) {
        needPcm(pcm, "encode");
        const bytes = streamBytes(pcm.length);
        return withHeap([2 * pcm.length, bytes], (pp, sp) => {
            i16(pp, pcm.length).set(pcm);
            check(core._nbz_encode(pp, pcm.length, sp, bytes, 0), "encode");
            return u8(sp, bytes).slice();
        });
    }

    // The samples a stream decodes to, clamped to 16 bits (two per byte).
    function decode(stream) {
        needStream(stream, "decode");
        const samples = 2 * stream.length;
        return withHeap([stream.length, 2 * samples], (sp, pp) => {
            u8(sp, stream.length).set(stream);
            check(core._nbz_decode(sp, stream.length, pp, samples, 0), "decode");
            return i16(pp, samples).slice();
        });
    }

    // The reconstruction as the decoder computes it, before clamping: where
    // it leaves -32767..32767, the stream overflows.
    function reconstruct(stream) {
        needStream(stream, "reconstruct");
        const out = new Int32Array(2 * stream.length);
        const words = new DataView(stream.buffer, stream.byteOffset, stream.length);
        withHeap([24, 32], (state, block) => {
            core._nbz_state_init(state);
            const samples = new Int32Array(core.HEAPU8.buffer, block, 8);  // nothing allocates below
            for (let w = 0; w < stream.length / 4; ++w) {
                core._nbz_decode_block(state, words.getUint32(4 * w, true), block);
                out.set(samples, 8 * w);
            }
        });
        return out;
    }

    // A search encoder fed in pieces: put(pcm) gives the bytes that became
    // final, end() the rest; free() releases it (end() does too).
    function createSearch(width = 64) {
        needWidth(width, "createSearch");
        let handle = withHeap([4], (hp) => {
            check(core._nbz_search_new(width, hp), "createSearch");
            return u32At(hp);
        });
        const run = (fn) => {
            if (!handle) throw new Error("search: used after its end");
            return fn(handle);
        };
        const free = () => {
            if (handle) core._nbz_search_free(handle);
            handle = 0;
        };
        function put(pcm) {
            needPcm(pcm, "search.put");
            return run((h) => {
                const parts = [];
                for (let at = 0; at < pcm.length; at += NBZ_PIECE) {
                    const piece = pcm.subarray(at, at + NBZ_PIECE);
                    const bound = core._nbz_search_bound(piece.length);
                    withHeap([2 * piece.length, bound, 4], (pp, sp, wp) => {
                        i16(pp, piece.length).set(piece);
                        check(core._nbz_search_put(h, pp, piece.length, sp, bound, wp), "search.put");
                        parts.push(u8(sp, u32At(wp)).slice());
                    });
                }
                return joinArrays(parts, Uint8Array);
            });
        }
        function end() {
            return run((h) => {
                const bound = core._nbz_search_bound(0);
                try {
                    return withHeap([bound, 4], (sp, wp) => {
                        check(core._nbz_search_end(h, sp, bound, wp, 0), "search.end");
                        return u8(sp, u32At(wp)).slice();
                    });
                } finally {
                    free();
                }
            });
        }
        return { put, end, free };
    }

    // The search encoder's stream of `pcm` at `width`; onProgress(done,
    // total) is called after each piece.
    function encodeHq(pcm, width = 64, { onProgress } = {}) {
        needPcm(pcm, "encodeHq");
        needWidth(width, "encodeHq");
        if (onProgress !== undefined && typeof onProgress !== "function")
            throw new TypeError("encodeHq: onProgress must be a function");
        const out = new Uint8Array(streamBytes(pcm.length));
        const search = createSearch(width);
        let used = 0;
        const take = (bytes) => {
            out.set(bytes, used);
            used += bytes.length;
        };
        try {
            for (let at = 0; at < pcm.length; at += NBZ_PIECE) {
                take(search.put(pcm.subarray(at, at + NBZ_PIECE)));
                if (onProgress) onProgress(Math.min(at + NBZ_PIECE, pcm.length), pcm.length);
            }
            take(search.end());
        } finally {
            search.free();
        }
        return out;
    }

    // Decoded audio (one Float32Array or Float64Array per channel, full
    // scale 1.0) prepared as nbzhq prepares a file: mixed to mono, resampled
    // from `rate` to `rateTo`, gained by `gainDb` and rounded to 16 bits.
    function prepare(channels, rate, rateTo = rate, gainDb = 0) {
        if (!Array.isArray(channels) || channels.length === 0)
            throw new TypeError("prepare: channels must be a non-empty array of Float32Array or Float64Array");
        for (const c of channels)
            if (!(c instanceof Float32Array || c instanceof Float64Array))
                throw new TypeError("prepare: each channel must be a Float32Array or Float64Array");
        const frames = channels[0].length;
        if (channels.some((c) => c.length !== frames))
            throw new RangeError("prepare: the channels must have the same length");
        needRate(rate, "prepare: the rate");
        needRate(rateTo, "prepare: the target rate");
        if (typeof gainDb !== "number") throw new TypeError("prepare: the gain must be a number of dB");
        const factor = core._nbz_gain_factor(gainDb);
        const count = channels.length;
        const parts = [];

        const resampler =
            rate === rateTo
                ? 0
                : withHeap([4], (hp) => {
                      check(core._nbz_resampler_new(rate, rateTo, hp), "prepare");
                      return u32At(hp);
                  });
        // Converts `n` doubles at `p` to 16 bits.
        const convert = (p, n) =>
            withHeap([2 * n], (op) => {
                check(core._nbz_to_pcm16(p, n, factor, op, n), "prepare");
                parts.push(i16(op, n).slice());
            });
        const resample = (p, n, last) => {
            const bound = core._nbz_resampler_bound(resampler, last ? 0 : n);
            withHeap([8 * bound, 4], (op, wp) => {
                const code = last
                    ? core._nbz_resampler_end(resampler, op, bound, wp)
                    : core._nbz_resampler_put(resampler, p, n, op, bound, wp);
                check(code, "prepare");
                convert(op, u32At(wp));
            });
        };
        try {
            const piece = Math.max(1, Math.floor(NBZ_PIECE / count));
            for (let at = 0; at < frames; at += piece) {
                const n = Math.min(piece, frames - at);
                withHeap([8 * n * count, 8 * n], (ip, mp) => {
                    const interleaved = f64(ip, n * count);
                    for (let c = 0; c < count; ++c) {
                        const channel = channels[c];
                        for (let f = 0; f < n; ++f) interleaved[f * count + c] = channel[at + f];
                    }
                    check(core._nbz_mix_to_mono(ip, n, count, mp, n), "prepare");
                    if (resampler) resample(mp, n, false);
                    else convert(mp, n);
                });
            }
            if (resampler) resample(0, 0, true);
        } finally {
            if (resampler) core._nbz_resampler_free(resampler);
        }
        return joinArrays(parts, Int16Array);
    }

    // The report's figures for `stream` against the samples it encodes.
    function measure(pcm, stream) {
        needPcm(pcm, "measure");
        needStream(stream, "measure");
        if (stream.length !== streamBytes(pcm.length))
            throw new RangeError(
                `measure: ${pcm.length} samples take ${streamBytes(pcm.length)} bytes, not ${stream.length}`,
            );
        return withHeap([2 * pcm.length, stream.length, 32], (pp, sp, rp) => {
            i16(pp, pcm.length).set(pcm);
            u8(sp, stream.length).set(stream);
            check(core._nbz_measure(pp, pcm.length, sp, stream.length, rp), "measure");
            const view = new DataView(core.HEAPU8.buffer, rp, 32);
            return {
                level: view.getUint32(0, true),
                overflow: view.getUint32(4, true),
                signalEnergy: view.getFloat64(8, true),
                noiseEnergy: view.getFloat64(16, true),
                snrDb: view.getFloat64(24, true),
            };
        });
    }

    return {
        version: core.UTF8ToString(core._nbz_version_text()),
        kernel: core.UTF8ToString(core._nbz_search_kernel_text()),
        encode,
        encodeHq,
        createSearch,
        decode,
        reconstruct,
        prepare,
        measure,
    };
}

// The arrays of `parts` one after another, in one array of `Type`.
function joinArrays(parts, Type) {
    const out = new Type(parts.reduce((n, p) => n + p.length, 0));
    let at = 0;
    for (const p of parts) {
        out.set(p, at);
        at += p.length;
    }
    return out;
}

// The module's factory: resolves to the interface above.
async function createNbz(options = {}) {
    return nbzInterface(await createNbzCore(options));
}
