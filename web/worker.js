// The page's worker: prepares the samples, runs both encoders and measures
// and analyses what they give, off the page's thread. The build puts it
// after the module (createNbz) in the worker's one script.

"use strict";

const nbzReady = createNbz();

// Where each stage's progress lies on the page's one bar.
const STAGES = {
    prepare: [0, 0.08, "Preparing the samples"],
    exact: [0.08, 0.12, "Encoding exactly"],
    search: [0.12, 0.92, "Searching"],
    analyse: [0.92, 1, "Measuring and drawing"],
};

function progress(stage, fraction = 0) {
    const [from, to, text] = STAGES[stage];
    postMessage({ type: "progress", fraction: from + (to - from) * fraction, text });
}

// What the page shows of one stream.
function streamResult(nbz, name, pcm, stream, analysisOptions) {
    const decoded = nbz.decode(stream).subarray(0, pcm.length);
    const wide = nbz.reconstruct(stream);
    const overflowing = [];
    for (let i = 0; i < pcm.length; ++i) if (wide[i] > 32767 || wide[i] < -32767) overflowing.push(i);
    const error = spectrogram(pcm.length, (i) => decoded[i] - pcm[i], analysisOptions);
    return {
        name,
        stream,
        decoded: decoded.slice(),
        report: nbz.measure(pcm, stream),
        overflowing: Uint32Array.from(overflowing),
        spectrogram: error,
    };
}

async function encodeBoth({ channels, rate, rateTo, gainDb, width, columns }) {
    const nbz = await nbzReady;
    progress("prepare");
    const pcm = nbz.prepare(channels, rate, rateTo, gainDb);
    progress("exact");
    const exact = nbz.encode(pcm);
    progress("search");
    const searched = nbz.encodeHq(pcm, width, {
        onProgress: (done, total) => progress("search", done / total),
    });
    progress("analyse");
    const options = { columns, size: rateTo >= 32000 ? 1024 : 512 };
    const result = {
        pcm,
        rate: rateTo,
        width,
        version: `${nbz.version}, WebAssembly (search kernel: ${nbz.kernel})`,
        spectrogram: spectrogram(pcm.length, (i) => pcm[i], options),
        streams: [
            streamResult(nbz, "exact", pcm, exact, options),
            streamResult(nbz, "search", pcm, searched, options),
        ],
    };
    progress("analyse", 1);
    return result;
}

onmessage = async ({ data }) => {
    try {
        const result = await encodeBoth(data);
        const transfer = [result.pcm.buffer];
        for (const s of result.streams) transfer.push(s.stream.buffer, s.decoded.buffer, s.overflowing.buffer);
        postMessage({ type: "done", result }, transfer);
    } catch (error) {
        postMessage({ type: "error", message: error && error.message ? error.message : String(error) });
    }
};
