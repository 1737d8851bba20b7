from telvar.manager import plugin_manager as pm
class C: pass
import sys
sys.stdout.reconfigure(encoding='utf-8')
print(sys.stdout.name, sys.stdout.mode, sys.stdout.line_buffering, sys.stdout.write_through)
pm.register_plugin(C, os='zeta')
