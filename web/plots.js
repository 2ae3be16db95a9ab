// Drawing the waveform and the spectrograms on canvases.

"use strict";

// The spectrograms' colour map from 0 (quiet) to 1 (loud): dark blue
// through violet and orange to pale yellow, rising in lightness throughout.
const COLOUR_STOPS = [
    [0.0, [8, 8, 24]],
    [0.2, [36, 20, 92]],
    [0.4, [110, 28, 128]],
    [0.6, [196, 58, 90]],
    [0.8, [246, 140, 40]],
    [1.0, [252, 246, 180]],
];

function colourAt(t) {
    const x = Math.min(1, Math.max(0, t));
    let i = 1;
    while (i < COLOUR_STOPS.length - 1 && COLOUR_STOPS[i][0] < x) ++i;
    const [t0, c0] = COLOUR_STOPS[i - 1];
    const [t1, c1] = COLOUR_STOPS[i];
    const f = (x - t0) / (t1 - t0);
    return c0.map((v, k) => Math.round(v + (c1[k] - v) * f));
}

// A CSS gradient of the colour map, for the legend.
function colourGradient() {
    const stops = COLOUR_STOPS.map(([t, c]) => `rgb(${c.join(",")}) ${t * 100}%`);
    return `linear-gradient(to right, ${stops.join(", ")})`;
}

// Sizes the canvas's pixels to its size on the screen; returns its 2D context.
function fitCanvas(canvas) {
    const scale = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth * scale));
    const height = Math.max(1, Math.round(canvas.clientHeight * scale));
    if (canvas.width !== width || canvas.height !== height) {
        canvas.width = width;
        canvas.height = height;
    }
    return canvas.getContext("2d");
}

const cssColour = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();

// The waveform of `pcm`, with the samples that each stream's reconstruction
// lets overflow marked below (marks: [{ positions, colour }], one row each).
function drawWaveform(canvas, pcm, marks) {
    const g = fitCanvas(canvas);
    const { width, height } = canvas;
    const markRow = Math.round(6 * (window.devicePixelRatio || 1));
    const plotHeight = height - markRow * marks.length - 2;
    const middle = plotHeight / 2;
    g.clearRect(0, 0, width, height);
    g.fillStyle = cssColour("--plot-back");
    g.fillRect(0, 0, width, plotHeight);
    g.fillStyle = cssColour("--plot-grid");
    g.fillRect(0, Math.round(middle), width, 1);

    // Each column's lowest and highest sample.
    g.fillStyle = cssColour("--wave");
    const span = pcm.length / width;
    for (let x = 0; x < width; ++x) {
        const from = Math.floor(x * span);
        const to = Math.max(from + 1, Math.floor((x + 1) * span));
        let low = 32767;
        let high = -32768;
        for (let i = from; i < to && i < pcm.length; ++i) {
            if (pcm[i] < low) low = pcm[i];
            if (pcm[i] > high) high = pcm[i];
        }
        if (low > high) continue;
        const top = middle - (high / 32768) * middle;
        const bottom = middle - (low / 32768) * middle;
        g.fillRect(x, top, 1, Math.max(1, bottom - top));
    }

    marks.forEach(({ positions, colour }, row) => {
        const y = plotHeight + 2 + row * markRow;
        g.fillStyle = colour;
        let last = -1;
        for (const p of positions) {
            const x = Math.floor(p / span);
            if (x === last) continue;
            last = x;
            g.fillRect(x, y, 1, markRow - 1);
            g.globalAlpha = 0.35;
            g.fillRect(x, 0, 1, plotHeight);
            g.globalAlpha = 1;
        }
    });
}

// A spectrogram ({ columns, bins, db }) with `floorDb`..`topDb` across the
// colour map, low frequencies at the bottom.
function drawSpectrogram(canvas, spec, floorDb = -120, topDb = -10) {
    const g = fitCanvas(canvas);
    const image = new ImageData(spec.columns, spec.bins);
    const palette = Array.from({ length: 256 }, (_, i) => colourAt(i / 255));
    for (let c = 0; c < spec.columns; ++c) {
        for (let k = 0; k < spec.bins; ++k) {
            const level = (spec.db[c * spec.bins + k] - floorDb) / (topDb - floorDb);
            const colour = palette[Math.round(Math.min(1, Math.max(0, level)) * 255)];
            const at = 4 * ((spec.bins - 1 - k) * spec.columns + c);
            image.data[at] = colour[0];
            image.data[at + 1] = colour[1];
            image.data[at + 2] = colour[2];
            image.data[at + 3] = 255;
        }
    }
    const source = document.createElement("canvas");
    source.width = spec.columns;
    source.height = spec.bins;
    source.getContext("2d").putImageData(image, 0, 0);
    g.imageSmoothingEnabled = true;
    g.drawImage(source, 0, 0, canvas.width, canvas.height);
}
