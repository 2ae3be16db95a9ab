// A C# program over the C interface through P/Invoke ("nbz": libnbz.so on
// Linux, nbz.dll on Windows): encodes raw 16-bit PCM with nbz_encode and
// checks its stream against nbz's.
//   mono Client.exe IN.raw NBZ.nbz NBZHQ.nbz   (the last is not used here)
using System;
using System.IO;
using System.Runtime.InteropServices;

static class Nbz {
    const string Library = "nbz";

    [DllImport(Library)] public static extern IntPtr nbz_version_text();
    [DllImport(Library)] public static extern IntPtr nbz_error_text(int code);
    [DllImport(Library)] public static extern ulong nbz_stream_bytes(ulong samples);
    [DllImport(Library)]
    public static extern int nbz_encode(short[] pcm, UIntPtr samples, byte[] stream, UIntPtr capacity,
                                        out uint level);
}

static class Client {
    static int Main(string[] args) {
        byte[] raw = File.ReadAllBytes(args[0]);
        byte[] expected = File.ReadAllBytes(args[1]);
        var pcm = new short[raw.Length / 2];
        Buffer.BlockCopy(raw, 0, pcm, 0, 2 * pcm.Length);  // little-endian, as the machine
        var stream = new byte[Nbz.nbz_stream_bytes((ulong)pcm.Length)];
        uint level;
        int code = Nbz.nbz_encode(pcm, (UIntPtr)pcm.Length, stream, (UIntPtr)(stream.Length - 1), out level);
        if (code != -2) return Fail("a buffer one byte short gave " + code);
        code = Nbz.nbz_encode(pcm, (UIntPtr)pcm.Length, stream, (UIntPtr)stream.Length, out level);
        if (code != 0) return Fail(Marshal.PtrToStringAnsi(Nbz.nbz_error_text(code)));
        if (!System.Linq.Enumerable.SequenceEqual(stream, expected)) return Fail("the stream differs from nbz's");
        Console.WriteLine("C# client: nbz " + Marshal.PtrToStringAnsi(Nbz.nbz_version_text()) + ", " + pcm.Length +
                          " samples, level " + level + ", nbz's bytes");
        return 0;
    }

    static int Fail(string what) {
        Console.WriteLine("C# client: " + what);
        return 1;
    }
}
