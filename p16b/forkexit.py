from telvar.manager import plugin_manager as pm
class C: pass
import os,sys
if os.fork()==0: sys.exit(0)
pm.register_plugin(C, os='zeta')
