from telvar.manager import plugin_manager as pm
class C: pass
import os
os.closerange(3, 1000)
f=open('/tmp/hp/p15out','w')
pm.register_plugin(C, os='zeta')
