package com.vornix.common.unix.tests;

import java.io.DataInputStream;
import java.io.InputStream;
import java.lang.module.ModuleDescriptor;
import java.lang.module.ModuleFinder;
import java.nio.file.Paths;
import java.util.Collections;
import java.util.Set;
import java.util.TreeSet;
import java.util.jar.Attributes;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;

/**
 * The adapters' jars: {@code AdapterJarTest VERSION (JAR MODULE CLASS_VERSION)...} checks
 * that each JAR is the automatic module MODULE holding that one package, that its manifest
 * names VERSION and the licence, that it carries the licence's text, and that every class
 * is of CLASS_VERSION.
 */
public final class AdapterJarTest {
  private static final Checks checks = new Checks();

  public static void main(String[] args) {
    if (args.length < 4 || (args.length - 1) % 3 != 0) {
      checks.check("arguments", false, "usage: VERSION (JAR MODULE CLASS_VERSION)...");
    }
    for (int i = 1; i + 2 < args.length; i += 3) {
      String jar = args[i];
      String module = args[i + 1];
      int classVersion = Integer.parseInt(args[i + 2]);
      checks.group(jar, () -> check(jar, module, classVersion, args[0]));
    }
    checks.finish();
  }

  private static void check(String path, String name, int classVersion, String version)
      throws Exception {
    ModuleDescriptor module = ModuleFinder.of(Paths.get(path)).findAll().iterator().next()
        .descriptor();
    checks.check("it is the automatic module " + name + " with that package alone",
        module.isAutomatic() && module.name().equals(name)
            && module.packages().equals(Set.of(name)), module.toString());
    try (JarFile jar = new JarFile(path)) {
      Attributes main = jar.getManifest().getMainAttributes();
      checks.check("manifest: Implementation-Version " + version,
          version.equals(main.getValue(Attributes.Name.IMPLEMENTATION_VERSION)), "" + main);
      String license = main.getValue("Bundle-License");
      checks.check("manifest: Bundle-License Apache-2.0",
          license != null && license.startsWith("Apache-2.0;"), "Bundle-License: " + license);
      checks.check("it carries META-INF/LICENSE", jar.getJarEntry("META-INF/LICENSE") != null,
          "no such entry");
      Set<Integer> versions = new TreeSet<>();
      for (JarEntry entry : Collections.list(jar.entries())) {
        if (!entry.getName().endsWith(".class")) continue;
        try (InputStream in = jar.getInputStream(entry);
            DataInputStream data = new DataInputStream(in)) {
          versions.add(data.readInt() == 0xCAFEBABE ? data.readInt() & 0xffff : -1);
        }
      }
      checks.check("every class is version " + classVersion,
          versions.equals(Set.of(classVersion)), "versions: " + versions);
    }
  }
}
