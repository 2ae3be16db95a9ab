// Files the page hands to the user: streams as they stand, and decoded
// samples as a mono 16-bit WAV file.

"use strict";

// A canonical 44-byte-header WAV of mono 16-bit `pcm` at `rate`.
function wavBytes(pcm, rate) {
    const bytes = new Uint8Array(44 + 2 * pcm.length);
    const view = new DataView(bytes.buffer);
    const text = (at, s) => [...s].forEach((ch, k) => view.setUint8(at + k, ch.charCodeAt(0)));
    text(0, "RIFF");
    view.setUint32(4, 36 + 2 * pcm.length, true);
    text(8, "WAVE");
    text(12, "fmt ");
    view.setUint32(16, 16, true);
    view.setUint16(20, 1, true);  // integer PCM
    view.setUint16(22, 1, true);  // mono
    view.setUint32(24, rate, true);
    view.setUint32(28, 2 * rate, true);
    view.setUint16(32, 2, true);
    view.setUint16(34, 16, true);
    text(36, "data");
    view.setUint32(40, 2 * pcm.length, true);
    for (let i = 0; i < pcm.length; ++i) view.setInt16(44 + 2 * i, pcm[i], true);
    return bytes;
}

// Offers `bytes` as a file called `name`.
function saveBytes(bytes, name, type) {
    const url = URL.createObjectURL(new Blob([bytes], { type }));
    const link = document.createElement("a");
    link.href = url;
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
}

// The file's name without its last extension, as a base for the outputs.
function baseName(fileName) {
    const dot = fileName.lastIndexOf(".");
    return (dot > 0 ? fileName.slice(0, dot) : fileName) || "sound";
}
