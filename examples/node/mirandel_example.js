#!/usr/bin/env node
// Calls mirandel-pkcs11-helper from Node.js: lists the certificates, then
// signs a short text with the first one.
//
// Usage: node mirandel_example.js HELPER MODULE PIN
//
// Prints "certificate: HEX" and "signature: HEX" on standard output. Exits
// with 0 on success, 1 when a document reports an error (the message goes to
// standard error), 2 when the helper gave no document.
'use strict';

const { spawn } = require('node:child_process');

const DATA = Buffer.from('Documento di prova firmato con Mirandel.', 'utf8');

// Runs the helper and resolves with its document. Node reads the child's
// standard output through a non-blocking pipe, in chunks: they are collected
// as bytes and decoded once at the end, so a character split between two
// chunks stays whole.
function runHelper(helper, args, request) {
  return new Promise((resolve, reject) => {
    // No shell: every argument, the empty one included, arrives as it is.
    const child = spawn(helper, args, { stdio: ['pipe', 'pipe', 'pipe'] });
    const stdout = [];
    const stderr = [];
    child.stdout.on('data', (chunk) => stdout.push(chunk));
    child.stderr.on('data', (chunk) => stderr.push(chunk));
    child.on('error', reject);
    // 'close' comes after the exit and after both streams have ended.
    child.on('close', (code, signal) => {
      if (code !== 0) {
        // 1: the document could not be delivered; 2: usage line; 101: internal error.
        const why = Buffer.concat(stderr).toString('utf8').trim();
        reject(new Error(`status ${code === null ? signal : code}: ${why}`));
        return;
      }
      try {
        resolve(JSON.parse(Buffer.concat(stdout).toString('utf8')));
      } catch (problem) {
        reject(problem);
      }
    });
    // The request goes through standard input ("-"): the PIN never touches a
    // file or the command line.
    child.stdin.on('error', () => {}); // a helper that ends early closes it
    child.stdin.end(request === undefined ? '' : request);
  });
}

async function main(argv) {
  if (argv.length !== 3) {
    process.stderr.write('usage: node mirandel_example.js HELPER MODULE PIN\n');
    return 2;
  }
  const [helper, module, pin] = argv;
  let listing;
  let signed;
  try {
    listing = await runHelper(helper, [module]);
    if (listing.error !== null) {
      process.stderr.write(`listing failed: ${listing.error}\n`);
      return 1;
    }
    const certificates = listing.slots.flatMap((slot) => slot.certs.map((cert) => cert.der_hex));
    if (certificates.length === 0) {
      process.stderr.write('no certificate on any token\n');
      return 1;
    }
    const certificate = certificates[0];
    process.stdout.write(`certificate: ${certificate}\n`);

    // The mechanism suits an RSA key; the others are rsa_sha384, rsa_sha512,
    // rsa_pss_sha256, rsa_pss_sha384, rsa_pss_sha512 and, for an EC key,
    // ecdsa_sha256, ecdsa_sha384 and ecdsa_sha512.
    const request = JSON.stringify({
      pin,
      cert_der_hex: certificate,
      data_hex: DATA.toString('hex'),
      mechanism: 'rsa_sha256',
    });
    // The second argument is empty, so the document comes back on standard output.
    signed = await runHelper(helper, [module, '', 'sign', '-'], request);
  } catch (problem) {
    process.stderr.write(`the helper gave no document: ${problem.message}\n`);
    return 2;
  }
  if (signed.error !== null) {
    process.stderr.write(`signing failed: ${signed.error}\n`);
    return 1;
  }
  process.stdout.write(`signature: ${signed.signature}\n`);
  return 0;
}

main(process.argv.slice(2)).then((status) => {
  process.exitCode = status;
});
