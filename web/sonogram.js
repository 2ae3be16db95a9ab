// Sonograms (spectrograms): the power spectrum of a signal over time, as
// levels in dB relative to a full-scale sine, averaged over the frames that
// fall in each column (so that a long sound still shows all of its noise).

"use strict";

// In-place radix-2 FFT of re/im (length a power of two).
function fft(re, im) {
    const n = re.length;
    for (let i = 1, j = 0; i < n; ++i) {
        let bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) {
            [re[i], re[j]] = [re[j], re[i]];
            [im[i], im[j]] = [im[j], im[i]];
        }
    }
    for (let size = 2; size <= n; size <<= 1) {
        const half = size >> 1;
        const angle = (-2 * Math.PI) / size;
        const wr = Math.cos(angle);
        const wi = Math.sin(angle);
        for (let start = 0; start < n; start += size) {
            let cr = 1;
            let ci = 0;
            for (let k = 0; k < half; ++k) {
                const a = start + k;
                const b = a + half;
                const tr = re[b] * cr - im[b] * ci;
                const ti = re[b] * ci + im[b] * cr;
                re[b] = re[a] - tr;
                im[b] = im[a] - ti;
                re[a] += tr;
                im[a] += ti;
                const next = cr * wr - ci * wi;
                ci = cr * wi + ci * wr;
                cr = next;
            }
        }
    }
}

// The spectrogram of a signal of `length` samples whose sample i (on the
// 16-bit scale) is valueAt(i): `columns` columns of size / 2 bins, lowest
// frequency first, as { columns, bins, db } with db a column-major
// Float32Array. At most `framesPerColumn` frames are averaged per column.
function spectrogram(length, valueAt, { columns = 480, size = 1024, framesPerColumn = 8 } = {}) {
    const bins = size / 2;
    const window = new Float64Array(size);
    let windowSum = 0;
    for (let i = 0; i < size; ++i) {
        window[i] = 0.5 - 0.5 * Math.cos((2 * Math.PI * i) / size);
        windowSum += window[i];
    }
    // A full-scale sine's bin reads (windowSum / 2) * 32768.
    const reference = ((windowSum / 2) * 32768) ** 2;
    const db = new Float32Array(columns * bins);
    const re = new Float64Array(size);
    const im = new Float64Array(size);
    const power = new Float64Array(bins);
    const span = length / columns;
    for (let c = 0; c < columns; ++c) {
        const from = Math.floor(c * span);
        const to = Math.max(from + 1, Math.floor((c + 1) * span));
        const frames = Math.max(1, Math.min(framesPerColumn, Math.floor((to - from) / (size / 2))));
        power.fill(0);
        for (let f = 0; f < frames; ++f) {
            // Frames centred on evenly spaced points of the column.
            const centre = from + ((f + 0.5) * (to - from)) / frames;
            const start = Math.round(centre - size / 2);
            for (let i = 0; i < size; ++i) {
                const at = start + i;
                re[i] = at >= 0 && at < length ? valueAt(at) * window[i] : 0;
                im[i] = 0;
            }
            fft(re, im);
            for (let k = 0; k < bins; ++k) power[k] += re[k] * re[k] + im[k] * im[k];
        }
        for (let k = 0; k < bins; ++k) db[c * bins + k] = 10 * Math.log10(power[k] / frames / reference + 1e-30);
    }
    return { columns, bins, db };
}

if (typeof module === "object" && module.exports) module.exports = { fft, spectrogram };
