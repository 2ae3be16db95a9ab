// The module under node against the native commands' outputs (their
// SHA-256 in expected.json, made by expected.mjs), and its errors.
// NBZ_WEB_BUILD names the build folder (default build-web).

import assert from "node:assert/strict";
import { createHash } from "node:crypto";
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { join, resolve } from "node:path";
import { test } from "node:test";
import { PREPARE, RAW_SAMPLES, aiffFile, pcm16, prepareFile, readerCases, signal, wavFile } from "./fixtures.mjs";

const here = new URL(".", import.meta.url).pathname;
const build = resolve(process.env.NBZ_WEB_BUILD || join(here, "../../build-web"));
const { default: createNbz } = await import(join(build, "nbz.mjs"));
const { readSoundFile } = createRequire(import.meta.url)("../reader.js");
const expected = JSON.parse(readFileSync(join(here, "expected.json"), "utf8"));

const nbz = await createNbz();
const sha = (array) => createHash("sha256").update(new Uint8Array(array.buffer, array.byteOffset, array.byteLength)).digest("hex");
const raw = pcm16(RAW_SAMPLES);

test("encode gives nbz's stream, decode nbzdec's samples, reconstruct them before clamping", () => {
    const stream = nbz.encode(raw);
    assert.equal(stream.length, 4 * Math.ceil(RAW_SAMPLES / 8));
    assert.equal(sha(stream), expected.encode);
    const decoded = nbz.decode(stream);
    assert.equal(sha(decoded), expected.decode);
    const wide = nbz.reconstruct(stream);
    assert.deepEqual(Int16Array.from(wide, (y) => Math.max(-32768, Math.min(32767, y))), decoded);
    const level = nbz.measure(raw, stream).level;
    assert.ok(level > 32767, "the material overflows");
    assert.equal(wide.reduce((peak, y) => Math.max(peak, Math.abs(y)), 0), level);
});

test("encodeHq gives nbzhq's stream at two widths, with its report", () => {
    for (const width of [8, 64]) assert.equal(sha(nbz.encodeHq(raw, width)), expected.encodeHq[width], `width ${width}`);
    const report = nbz.measure(raw, nbz.encodeHq(raw));
    assert.equal(report.level, expected.report.level);
    assert.equal(report.snrDb.toFixed(2), expected.report.snr);
});

test("the search gives the same stream however it is fed, and reports its progress", () => {
    const search = nbz.createSearch(8);
    const parts = [];
    for (let at = 0, n = 1; at < 20000; at += n, n = (n * 7 + 3) % 1500)
        parts.push(search.put(raw.subarray(at, Math.min(at + n, 20000))));
    parts.push(search.end());
    const joined = Uint8Array.from(parts.flatMap((p) => [...p]));
    assert.deepEqual(joined, nbz.encodeHq(raw.subarray(0, 20000), 8));
    const seen = [];
    nbz.encodeHq(raw, 1, { onProgress: (done, total) => seen.push([done, total]) });
    assert.deepEqual(seen.at(-1), [RAW_SAMPLES, RAW_SAMPLES]);
    assert.ok(seen.length > 1 && seen.every(([d], k) => k === 0 || d > seen[k - 1][0]));
    assert.throws(() => search.put(raw), /after its end/);
});

test("prepare mixes, resamples, gains and rounds as nbzhq does", () => {
    const { frames, rate, rateTo, gainDb, width } = PREPARE;
    const channels = readSoundFile(prepareFile().buffer).channels;
    assert.equal(channels[0].length, frames);
    const pcm = nbz.prepare(channels.map((c) => Float32Array.from(c)), rate, rateTo, gainDb);
    assert.equal(pcm.length, Math.ceil((frames * rateTo) / rate));
    assert.equal(sha(nbz.encodeHq(pcm, width)), expected.prepare);
});

test("the page's reader gives nbzhq's stream for each WAV and AIFF format", () => {
    for (const [name, bytes] of readerCases()) {
        const sound = readSoundFile(bytes.buffer);
        assert.ok(sound.channels, name);
        const pcm = nbz.prepare(sound.channels, sound.rate);
        assert.equal(sha(nbz.encodeHq(pcm, 4)), expected.reader[name], name);
    }
});

test("the reader takes RIFX, RF64 and AIFF-C's big-endian codes as the plain files they restate", () => {
    const mono = [signal(3001, 2)];
    const stereo = [signal(2003, 3, 0), signal(2003, 3, 1)];
    const cases = [
        [wavFile(stereo, 44100, "s16"), wavFile(stereo, 44100, "s16", { container: "RIFX" })],
        [wavFile(mono, 48000, "s24"), wavFile(mono, 48000, "s24", { container: "RIFX" })],
        [wavFile(stereo, 44100, "s16"), wavFile(stereo, 44100, "s16", { container: "RF64" })],
        [aiffFile(stereo, 44100, "s16"), aiffFile(stereo, 44100, "s16", "NONE")],
        [aiffFile(stereo, 44100, "s16"), aiffFile(stereo, 44100, "s16", "twos")],
        [aiffFile(mono, 48000, "s24"), aiffFile(mono, 48000, "s24", "in24")],
        [aiffFile(mono, 8000, "s32"), aiffFile(mono, 8000, "s32", "in32")],
    ];
    for (const [plain, restated] of cases) {
        const want = readSoundFile(plain.buffer);
        const got = readSoundFile(restated.buffer);
        const name = String.fromCharCode(...restated.subarray(0, 4));
        assert.equal(got.rate, want.rate, name);
        assert.deepEqual(got.channels, want.channels, name);
    }
});

test("bad arguments throw TypeError or RangeError with a clear message", () => {
    const mono = [signal(100)];
    const cases = [
        [() => nbz.encode([1, 2, 3]), TypeError, /Int16Array/],
        [() => nbz.encode(new Uint16Array(8)), TypeError, /Int16Array/],
        [() => nbz.encodeHq(raw, 0), RangeError, /1 to 64/],
        [() => nbz.encodeHq(raw, 65), RangeError, /1 to 64/],
        [() => nbz.encodeHq(raw, 2.5), RangeError, /1 to 64/],
        [() => nbz.encodeHq(raw, "8"), TypeError, /width/],
        [() => nbz.encodeHq(raw, 8, { onProgress: 1 }), TypeError, /onProgress/],
        [() => nbz.createSearch(99), RangeError, /1 to 64/],
        [() => nbz.decode(new Uint8Array(5)), RangeError, /multiple of 4/],
        [() => nbz.decode(new Int16Array(4)), TypeError, /Uint8Array/],
        [() => nbz.measure(raw, new Uint8Array(6)), RangeError, /multiple of 4/],
        [() => nbz.measure(raw, new Uint8Array(8)), RangeError, /70001 samples take 35004 bytes, not 8/],
        [() => nbz.prepare([], 8000), TypeError, /non-empty array/],
        [() => nbz.prepare(new Float64Array(4), 8000), TypeError, /array/],
        [() => nbz.prepare([new Int16Array(4)], 8000), TypeError, /Float32Array or Float64Array/],
        [() => nbz.prepare([new Float64Array(4), new Float64Array(5)], 8000), RangeError, /same length/],
        [() => nbz.prepare(mono, 0), RangeError, /rate/],
        [() => nbz.prepare(mono, 44100.5), RangeError, /rate/],
        [() => nbz.prepare(mono, 8000, 2 ** 31), RangeError, /target rate/],
        [() => nbz.prepare(mono, 8000, "4000"), TypeError, /target rate/],
        [() => nbz.prepare(mono, 1025, 1), RangeError, /prepare/],
        [() => nbz.prepare(mono, 8000, 8000, "-6"), TypeError, /gain/],
    ];
    for (const [call, type, message] of cases)
        assert.throws(call, (e) => e instanceof type && message.test(e.message), `${call}`);
});
