package com.vornix.common.unix.tests;

import com.vornix.common.unix.Varnok;
import java.io.DataInputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.lang.module.ModuleDescriptor;
import java.lang.module.ModuleFinder;
import java.net.URL;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.Collections;
import java.util.Map;
import java.util.Objects;
import java.util.Set;
import java.util.TreeMap;
import java.util.jar.Attributes;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;
import java.util.jar.Manifest;

/**
 * What the jar that holds Varnok carries: {@code VarnokJarTest VERSION LIBRARY LICENSE
 * [AARCH64_LIBRARY]} checks that the class and the jar's manifest say VERSION, that the
 * jar's x86-64 library is LIBRARY byte for byte, and its aarch64 library AARCH64_LIBRARY
 * (without it, that the jar has none), that the manifest names the Apache licence and the
 * jar carries LICENSE's text, that its classes are for Java 8 (but for the module descriptor
 * and, with -Dvarnok.test.java22=true, the JDK 22 binding), and that it is the module
 * com.vornix.common.unix.
 */
public final class VarnokJarTest {
  private static final String MODULE = "com.vornix.common.unix";
  private static final String AMD64 = "META-INF/native/linux/amd64/libvarnok_jni.so";
  private static final String AARCH64 = "META-INF/native/linux/aarch64/libvarnok_jni.so";

  private static final Checks checks = new Checks();

  public static void main(String[] args) {
    if (args.length == 3 || args.length == 4) {
      String aarch64 = args.length == 4 ? args[3] : null;
      checks.group("version " + args[0], () -> version(args[0], args[1], args[2], aarch64));
    } else {
      checks.check("arguments", false,
          "usage: VERSION LIBRARY LICENSE [AARCH64_LIBRARY]; got " + Arrays.toString(args));
    }
    checks.finish();
  }

  private static void version(String expected, String library, String license,
      String aarch64)
      throws Exception {
    checks.check("Varnok.VERSION is " + expected, expected.equals(Varnok.VERSION),
        "Varnok.VERSION is " + Varnok.VERSION);

    URL jar = Varnok.class.getProtectionDomain().getCodeSource().getLocation();
    try (JarFile file = new JarFile(new File(jar.toURI()))) {
      Manifest manifest = file.getManifest();
      Attributes main = manifest == null ? new Attributes() : manifest.getMainAttributes();
      String version = main.getValue(Attributes.Name.IMPLEMENTATION_VERSION);
      String title = main.getValue(Attributes.Name.IMPLEMENTATION_TITLE);
      checks.check(jar + " manifest: Implementation-Version " + expected,
          expected.equals(version), "Implementation-Version: " + version);
      checks.check(jar + " manifest: Implementation-Title varnok", "varnok".equals(title),
          "Implementation-Title: " + title);
      checks.check(jar + " manifest: Multi-Release true",
          "true".equals(main.getValue(Attributes.Name.MULTI_RELEASE)), "not multi-release");
      String named = main.getValue("Bundle-License");
      checks.check(jar + " manifest: Bundle-License Apache-2.0",
          named != null && named.startsWith("Apache-2.0;"), "Bundle-License: " + named);
      classVersions(file);
      module(Paths.get(jar.toURI()));
      carries(file, AMD64, library);
      if (aarch64 != null) {
        carries(file, AARCH64, aarch64);
      } else {
        checks.check(jar + " has no " + AARCH64 + ", none being built",
            file.getJarEntry(AARCH64) == null, "it has one");
      }
      carries(file, "META-INF/LICENSE", license);
    }
  }

  /** The jar's entry NAME is the file EXPECTED, byte for byte. */
  private static void carries(JarFile jar, String name, String expected) throws IOException {
    JarEntry entry = jar.getJarEntry(name);
    checks.check(jar.getName() + " carries " + name, entry != null, "no such entry");
    if (entry == null) return;
    byte[] carried;
    try (InputStream in = jar.getInputStream(entry)) {
      carried = in.readAllBytes();
    }
    checks.check(name + " is " + expected,
        Arrays.equals(carried, Files.readAllBytes(Paths.get(expected))),
        "the jar holds a different file (" + carried.length + " bytes)");
  }

  /**
   * Java 8 (version 52) can load every class at the jar's root, and finds no module
   * descriptor there; Java 9 (53) and later find it under META-INF/versions/9.
   */
  private static void classVersions(JarFile jar) throws IOException {
    Map<String, Integer> versions = new TreeMap<>();
    for (JarEntry entry : Collections.list(jar.entries())) {
      if (!entry.getName().endsWith(".class")) continue;
      try (DataInputStream in = new DataInputStream(jar.getInputStream(entry))) {
        versions.put(entry.getName(), in.readInt() == 0xCAFEBABE ? in.readInt() & 0xffff : -1);
      }
    }
    String descriptor = "META-INF/versions/9/module-info.class";
    checks.check("the module descriptor is version 53, under " + descriptor,
        Integer.valueOf(53).equals(versions.remove(descriptor)), "versions: " + versions);
    // Built where a JDK 22 or later was found to compile it: varnok.test.java22=ON.
    String binding = "META-INF/versions/22/com/vornix/common/unix/ClockBinding.class";
    Integer expected = Boolean.getBoolean("varnok.test.java22") ? Integer.valueOf(66) : null;
    checks.check("VarnokTime's JDK 22 binding is " + (expected == null ? "absent" : "version 66"),
        Objects.equals(expected, versions.remove(binding)), "versions: " + versions);
    checks.check("every other class is at the root, version 52",
        versions.size() >= 4 && versions.entrySet().stream().allMatch(
            e -> e.getKey().startsWith("com/vornix/common/unix/") && e.getValue() == 52),
        "versions: " + versions);
  }

  /** The jar as a module: its name, and it exports its one package to everyone. */
  private static void module(Path jar) {
    ModuleDescriptor module = ModuleFinder.of(jar).findAll().iterator().next().descriptor();
    checks.check("the module is " + MODULE + ", not automatic",
        module.name().equals(MODULE) && !module.isAutomatic(), module.toString());
    checks.check("it holds and exports " + MODULE + " alone, needing java.base alone",
        module.packages().equals(Set.of(MODULE)) && module.exports().size() == 1
            && module.exports().stream().allMatch(e -> e.source().equals(MODULE)
                && !e.isQualified() && e.modifiers().isEmpty())
            && module.opens().isEmpty()
            && module.requires().stream().allMatch(r -> r.name().equals("java.base")),
        module.toString());
  }
}
