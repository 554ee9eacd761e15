// The reference side of bench/gltf-compare: reads a glTF file with
// gltf-transform and writes it again, as the demo's `load` and `save` do.
// Prints the time the two took inside the process, in milliseconds.
//
//   node roundtrip.mjs IN.glb OUT.glb
import { NodeIO } from '@gltf-transform/core';

const [input, output] = process.argv.slice(2);
const io = new NodeIO();
const start = performance.now();
const document = await io.read(input);
const read = performance.now();
await io.write(output, document);
const done = performance.now();
console.log(`read ${(read - start).toFixed(0)} write ${(done - read).toFixed(0)}`);
