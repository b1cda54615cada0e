// Calls mirandel-pkcs11-helper from C# as a Windows desktop application would:
// System.Diagnostics.Process without a shell, the request on standard input,
// the document read from standard output with DataContractJsonSerializer
// (.NET Framework 3.5 and later, and Mono). Lists the certificates, then signs
// a short text with the first one.
//
// Usage: MirandelExample.exe HELPER MODULE PIN
//
// Prints "certificate: HEX" and "signature: HEX" on standard output. Exits with
// 0 on success, 1 when a document reports an error (the message goes to
// standard error), 2 when the helper gave no document.
using System;
using System.Diagnostics;
using System.IO;
using System.Runtime.Serialization;
using System.Runtime.Serialization.Json;
using System.Text;
using System.Threading.Tasks;

[DataContract]
public class CertEntry {
  [DataMember(Name = "der_hex")] public string DerHex;
}

[DataContract]
public class SlotEntry {
  [DataMember(Name = "description")] public string Description;
  [DataMember(Name = "token_label")] public string TokenLabel;
  [DataMember(Name = "certs")] public CertEntry[] Certs;
}

[DataContract]
public class ListingDocument {
  [DataMember(Name = "slots")] public SlotEntry[] Slots;
  [DataMember(Name = "error")] public string Error;
}

[DataContract]
public class SignatureDocument {
  [DataMember(Name = "signature")] public string Signature;
  [DataMember(Name = "error")] public string Error;
}

[DataContract]
public class SignRequest {
  [DataMember(Name = "pin", Order = 1)] public string Pin;
  [DataMember(Name = "cert_der_hex", Order = 2)] public string CertDerHex;
  [DataMember(Name = "data_hex", Order = 3)] public string DataHex;
  [DataMember(Name = "mechanism", Order = 4)] public string Mechanism;
}

// The helper ended without delivering a document.
public class NoDocumentException : Exception {
  public NoDocumentException(string message) : base(message) {}
}

public static class MirandelExample {
  static readonly UTF8Encoding Utf8 = new UTF8Encoding(false);

  // Quotes one argument by the rules Windows programs split their command line
  // with (CommandLineToArgvW): the empty argument becomes "", and backslashes
  // are doubled only where a quotation mark follows them.
  static string QuoteArgument(string argument) {
    if (argument.Length > 0 && argument.IndexOfAny(new[] {' ', '\t', '\n', '\v', '"'}) < 0)
      return argument;
    var quoted = new StringBuilder("\"");
    int backslashes = 0;
    foreach (char c in argument) {
      if (c == '\\') {
        backslashes++;
        continue;
      }
      quoted.Append('\\', c == '"' ? backslashes * 2 + 1 : backslashes);
      backslashes = 0;
      quoted.Append(c);
    }
    quoted.Append('\\', backslashes * 2);
    return quoted.Append('"').ToString();
  }

  // Runs the helper and returns its document's bytes.
  static byte[] RunHelper(string helper, string[] arguments, byte[] request) {
    var start = new ProcessStartInfo {
      FileName = helper,
      Arguments = string.Join(" ", Array.ConvertAll(arguments, QuoteArgument)),
      UseShellExecute = false,
      CreateNoWindow = true,
      RedirectStandardInput = true,
      RedirectStandardOutput = true,
      RedirectStandardError = true,
    };
    using (Process process = Process.Start(start)) {
      // Standard error is read on the side, so that neither pipe can fill up
      // and stop the helper.
      Task<string> stderr = process.StandardError.ReadToEndAsync();
      // The helper reads the whole request before it writes anything.
      using (Stream input = process.StandardInput.BaseStream) {
        if (request != null) input.Write(request, 0, request.Length);
      }
      var stdout = new MemoryStream();
      process.StandardOutput.BaseStream.CopyTo(stdout);
      process.WaitForExit();
      if (process.ExitCode != 0) {
        // 1: the document could not be delivered; 2: usage line; 101: internal error.
        throw new NoDocumentException("status " + process.ExitCode + ": " + stderr.Result.Trim());
      }
      return stdout.ToArray();
    }
  }

  static T Parse<T>(byte[] document) {
    var serializer = new DataContractJsonSerializer(typeof(T));
    using (var stream = new MemoryStream(document)) return (T)serializer.ReadObject(stream);
  }

  static string Hex(byte[] bytes) {
    var text = new StringBuilder(bytes.Length * 2);
    foreach (byte b in bytes) text.Append(b.ToString("x2"));
    return text.ToString();
  }

  public static int Main(string[] args) {
    if (args.Length != 3) {
      Console.Error.WriteLine("usage: MirandelExample.exe HELPER MODULE PIN");
      return 2;
    }
    string helper = args[0], module = args[1], pin = args[2];
    Console.OutputEncoding = Utf8;
    try {
      ListingDocument listing = Parse<ListingDocument>(RunHelper(helper, new[] {module}, null));
      if (listing.Error != null) {
        Console.Error.WriteLine("listing failed: " + listing.Error);
        return 1;
      }
      string certificate = null;
      foreach (SlotEntry slot in listing.Slots) {
        if (slot.Certs.Length > 0) {
          certificate = slot.Certs[0].DerHex;
          break;
        }
      }
      if (certificate == null) {
        Console.Error.WriteLine("no certificate on any token");
        return 1;
      }
      Console.WriteLine("certificate: " + certificate);

      // The request goes through standard input ("-"): the PIN never touches
      // a file or the command line. The second argument is empty, so the
      // document comes back on standard output. The mechanism suits an RSA
      // key; the others are rsa_sha384, rsa_sha512, rsa_pss_sha256,
      // rsa_pss_sha384, rsa_pss_sha512 and, for an EC key, ecdsa_sha256,
      // ecdsa_sha384 and ecdsa_sha512.
      var request = new SignRequest {
        Pin = pin,
        CertDerHex = certificate,
        DataHex = Hex(Utf8.GetBytes("Documento di prova firmato con Mirandel.")),
        Mechanism = "rsa_sha256",
      };
      var requestBytes = new MemoryStream();
      new DataContractJsonSerializer(typeof(SignRequest)).WriteObject(requestBytes, request);
      SignatureDocument signed = Parse<SignatureDocument>(
          RunHelper(helper, new[] {module, "", "sign", "-"}, requestBytes.ToArray()));
      if (signed.Error != null) {
        Console.Error.WriteLine("signing failed: " + signed.Error);
        return 1;
      }
      Console.WriteLine("signature: " + signed.Signature);
      return 0;
    } catch (Exception problem) when (problem is NoDocumentException || problem is IOException ||
                                      problem is SerializationException ||
                                      problem is System.ComponentModel.Win32Exception) {
      Console.Error.WriteLine("the helper gave no document: " + problem.Message);
      return 2;
    }
  }
}
