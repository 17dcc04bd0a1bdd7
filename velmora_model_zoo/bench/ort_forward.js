// ONNX Runtime's CPU provider on a prepared graph, for velmora_model_zoo_bench: one thread,
// one inference per "run" line on standard input, its time in milliseconds on standard
// output.  Never a dependency of the library: the benchmark skips without it.
//   node ort_forward.js ONNXRUNTIME_NODE_DIR MODEL.onnx INPUT.f32 N C H W
'use strict';
const fs = require('fs');
const readline = require('readline');

const [ortDir, model, input, ...dims] = process.argv.slice(2);
const ort = require(ortDir);

(async () => {
  const session = await ort.InferenceSession.create(model, {
    intraOpNumThreads: 1,
    interOpNumThreads: 1,
    executionMode: 'sequential',
    graphOptimizationLevel: 'all',
  });
  const bytes = fs.readFileSync(input);
  const data = new Float32Array(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength));
  const feeds = {[session.inputNames[0]]: new ort.Tensor('float32', data, dims.map(Number))};
  await session.run(feeds);  // first-call allocations
  process.stdout.write('ready\n');
  for await (const line of readline.createInterface({input: process.stdin})) {
    if (line !== 'run') break;
    const start = process.hrtime.bigint();
    await session.run(feeds);
    process.stdout.write((Number(process.hrtime.bigint() - start) / 1e6).toFixed(4) + '\n');
  }
})().catch((e) => {
  process.stderr.write(`ort_forward.js: ${e}\n`);
  process.exit(1);
});
